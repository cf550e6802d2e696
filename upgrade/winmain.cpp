// The program's entry point.
#include "upgrade/upgrade.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState) {
  return UpgradeMain(instance, previous, commandLine, showState);
}
