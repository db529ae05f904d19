// Entry point: installs the real operating-system backend and runs the tool.
#include "hilfen/feedfix/driver.h"
#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/os.h"

int main(int argc, char** argv) {
  set_os(&native_os(argc, argv));
  load_arguments();
  end_process(feedfix_main());
}
