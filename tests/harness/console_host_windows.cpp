// Owns a headless console for the process harness: started without a window
// it gets a console nobody sees, which the harness then attaches to and
// shares with the program under test. It only waits until it is ended.
#include "platform/windows_api.h"

int main() {
  for (;;) Sleep(INFINITE);
}
