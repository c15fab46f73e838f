// KV2TPCBATest: one invocation, one production test step, one response line.
#include "frame.h"

int main(int argc, char** argv) { return pcba_Dispatch(argc, argv); }
