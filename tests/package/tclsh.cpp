// A tclsh of the build's own: under ThreadSanitizer it carries the runtime, so the package's
// worker threads run checked when tests/package/ipc_package_test.tcl runs in it.
#include <tcl.h>

namespace {

int app_init(Tcl_Interp* interpreter) { return Tcl_Init(interpreter); }

}  // namespace

int main(int argc, char** argv) {
  Tcl_Main(argc, argv, app_init);
  return 0;
}
