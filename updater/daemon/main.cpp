// kvupdaterd: the software-maintenance daemon of the controller.
#include "core/notify.h"
#include "core/paths.h"
#include "daemon/mainloop.h"

int main(int argc, char** argv) {
  paths_Init();
  notify_Init();
  mainloop_StartUp(argc, argv);
  mainloop_Run();
}
