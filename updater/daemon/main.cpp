// kvupdaterd: the software-maintenance daemon of the controller.
#include "daemon/mainloop.h"
#include "core/notify.h"
#include "core/paths.h"

int main(int argc, char** argv) {
  paths_Init();
  notify_Init();
  mainloop_StartUp(argc, argv);
  mainloop_Run();
}
