#include "host/ztcl.h"

#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "host/common/host_internal.h"

namespace {

// One script handed over to the interpreter's thread.
struct POSTED_SCRIPT {
  explicit POSTED_SCRIPT(std::string text) : script(std::move(text)) {}
  std::string script;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int code = TCL_OK;
  std::string result;
};

using POSTED_PTR = std::shared_ptr<POSTED_SCRIPT>;

// Tcl owns the event memory (ckalloc/ckfree); the script is reached through a heap handle.
struct SCRIPT_EVENT {
  Tcl_Event header;
  POSTED_PTR* posted;
};

struct BRIDGE {
  std::mutex mutex;  // guards interpreter and thread against posters on other threads
  Tcl_Interp* interpreter = nullptr;
  Tcl_ThreadId thread = nullptr;
};

BRIDGE& bridge() {
  static BRIDGE* instance = new BRIDGE;
  return *instance;
}

void finish(POSTED_SCRIPT& posted, int code, const std::string& result) {
  {
    std::lock_guard<std::mutex> lock(posted.mutex);
    posted.done = true;
    posted.code = code;
    posted.result = result;
  }
  posted.finished.notify_all();
}

int evaluate(Tcl_Interp* interpreter, const std::string& script, std::string* result) {
  Tcl_Preserve(interpreter);
  // Evaluation stops at a zero byte: the script is taken as a C string.
  int code = Tcl_EvalEx(interpreter, script.c_str(), -1, TCL_EVAL_GLOBAL);
  if (result != nullptr) *result = Tcl_GetStringResult(interpreter);
  if (code == TCL_ERROR) {
    const char* info = Tcl_GetVar2(interpreter, "errorInfo", nullptr, TCL_GLOBAL_ONLY);
    host_debug_text("TCL", std::string("Tcl error: ") +
                               (info != nullptr ? info : Tcl_GetStringResult(interpreter)));
  }
  Tcl_Release(interpreter);
  return code;
}

// Runs on the interpreter's thread, from its event loop.
int serve_posted(Tcl_Event* event, int /*flags*/) {
  auto* script_event = reinterpret_cast<SCRIPT_EVENT*>(event);
  POSTED_PTR posted = std::move(*script_event->posted);
  delete script_event->posted;
  Tcl_Interp* interpreter = ztcl_get_interpreter();
  if (interpreter == nullptr) {
    finish(*posted, TCL_ERROR, "no interpreter");
    return 1;
  }
  std::string result;
  int code = evaluate(interpreter, posted->script, &result);
  finish(*posted, code, result);
  return 1;  // handled: Tcl frees the event
}

int discard_posted(Tcl_Event* event, ClientData /*data*/) {
  if (event->proc != serve_posted) return 0;
  auto* script_event = reinterpret_cast<SCRIPT_EVENT*>(event);
  finish(**script_event->posted, TCL_ERROR, "interpreter deleted");
  delete script_event->posted;
  return 1;
}

// Queues the script to the interpreter's thread; false when there is no interpreter.
bool queue_to_interpreter(const POSTED_PTR& posted) {
  BRIDGE& b = bridge();
  std::lock_guard<std::mutex> lock(b.mutex);
  if (b.interpreter == nullptr) return false;
  auto* event = reinterpret_cast<SCRIPT_EVENT*>(ckalloc(sizeof(SCRIPT_EVENT)));
  event->header.proc = serve_posted;
  event->header.nextPtr = nullptr;
  event->posted = new POSTED_PTR(posted);
  Tcl_ThreadQueueEvent(b.thread, &event->header, TCL_QUEUE_TAIL);
  Tcl_ThreadAlert(b.thread);
  return true;
}

// The interpreter when the caller is its thread, else null; one lock per posted line.
Tcl_Interp* interpreter_of_this_thread() {
  BRIDGE& b = bridge();
  std::lock_guard<std::mutex> lock(b.mutex);
  return b.interpreter != nullptr && b.thread == Tcl_GetCurrentThread() ? b.interpreter : nullptr;
}

}  // namespace

Tcl_Interp* ztcl_get_interpreter() {
  BRIDGE& b = bridge();
  std::lock_guard<std::mutex> lock(b.mutex);
  return b.interpreter;
}

int ztcl_post(const std::string& script, bool wait, std::string* result) {
  if (Tcl_Interp* interpreter = interpreter_of_this_thread())
    return evaluate(interpreter, script, result);
  auto posted = std::make_shared<POSTED_SCRIPT>(script);
  if (!queue_to_interpreter(posted)) {
    host_debug_text("TCL", "no host interpreter; script dropped: " + script);
    return TCL_ERROR;
  }
  if (!wait) return TCL_OK;
  std::unique_lock<std::mutex> lock(posted->mutex);
  posted->finished.wait(lock, [&posted] { return posted->done; });
  if (result != nullptr) *result = posted->result;
  return posted->code;
}

void ztcl_ptr_to_string(char* buffer, void* pointer) {
  std::snprintf(buffer, 56, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(pointer));
}

void ztcl_create_command(const char* name, Tcl_ObjCmdProc* proc, ClientData data) {
  Tcl_Interp* interpreter = ztcl_get_interpreter();
  if (interpreter == nullptr) {
    host_debug_text("TCL", std::string("no host interpreter; command not created: ") + name);
    return;
  }
  Tcl_CreateObjCommand(interpreter, name, proc, data, nullptr);
}

Tcl_Interp* ztcl_open_interpreter(const char* argv0) {
  Tcl_FindExecutable(argv0);
  Tcl_Interp* interpreter = Tcl_CreateInterp();
  // Without its script library Tcl still evaluates commands; the host goes on without it.
  if (Tcl_Init(interpreter) != TCL_OK)
    host_debug_text("TCL", std::string("Tcl_Init failed: ") + Tcl_GetStringResult(interpreter));
  BRIDGE& b = bridge();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.interpreter = interpreter;
  b.thread = Tcl_GetCurrentThread();
  return interpreter;
}

void ztcl_close_interpreter() {
  Tcl_Interp* interpreter = nullptr;
  {
    BRIDGE& b = bridge();
    std::lock_guard<std::mutex> lock(b.mutex);
    interpreter = b.interpreter;
    b.interpreter = nullptr;
  }
  if (interpreter == nullptr) return;
  // Nothing can be queued any more; what is still queued is dropped and its waiters released.
  Tcl_DeleteEvents(discard_posted, nullptr);
  Tcl_DeleteInterp(interpreter);
}
