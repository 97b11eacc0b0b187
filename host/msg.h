// Message service: message objects, their ids and suppression, sinks and reports, debug output
// and the internal-error report.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "host/brantor_error.h"

enum MSG_POST_TYPE : int32_t { MSG_POST_ERROR = 0, MSG_POST_INFO = 1, MSG_POST_WARNING = 2 };

// Debug verbosity; output at a level is on when the module's configured level is at least that.
enum MSG_D_LEVEL : int32_t { MSG_D_LEVEL_1 = 1, MSG_D_LEVEL_2 = 2, MSG_D_LEVEL_3 = 3 };

enum class MSG_KIND { ERROR, WARNING, INFO, INTERNAL_ERROR, DEBUG };

// One delivered message: what a sink receives.
struct MSG_RECORD {
  MSG_KIND kind;
  unsigned id;  // 0 when the message has none
  std::string text;
  std::string module;  // set for debug records
};

// Receives delivered messages; deliver may be called from several threads, one at a time.
class MSG_SINK {
 public:
  virtual ~MSG_SINK() = default;
  virtual void deliver(const MSG_RECORD& record) = 0;
};

// A kind's label in message lines ("INTERNAL ERROR") and its word for scripts ("internal").
struct MSG_KIND_NAMES {
  const char* label;
  const char* word;
};
MSG_KIND_NAMES msg_kind_names(MSG_KIND kind);

// The line the built-in default sink writes for record, without its newline: "ERROR <id>: <text>"
// (WARNING, INFO; no " <id>" when the id is 0), or "INTERNAL ERROR: <text>"; a zero byte of the
// text is written as the two characters \0.
std::string msg_format_record(const MSG_RECORD& record);
// Replaces the sink of messages posted without a report; null restores the built-in one, which
// writes "ERROR <id>: <text>" (WARNING, INFO, "INTERNAL ERROR: <text>") lines to stdout through
// its buffer: a line at a time on a terminal, otherwise held back until msg_flush, an error
// message or exit.
void msg_set_default_sink(MSG_SINK* sink);
// Writes out the lines the built-in default sink holds back; cheap when it holds none.
void msg_flush();
// errno of the first write of stdout by the built-in default sink that failed (its lines are
// lost from then on), 0 while none did. EPIPE shows as SIGPIPE first, unless that is ignored.
int msg_output_error();
// Replaces the sink of debug texts; null restores the built-in one ("DEBUG <module>: <text>" on
// stderr).
void msg_set_debug_sink(MSG_SINK* sink);
// Hands a record to the default (or debug, for DEBUG records) sink.
void msg_deliver_default(const MSG_RECORD& record);

// Puts sinks of the calling thread's own before the process-wide ones for the scope's life: a run
// on its own thread hears its messages and debug texts, and no concurrent run's. A null sink
// leaves that kind to the process-wide sink. Scopes nest; create and destroy on one thread.
class SCOPED_MSG_THREAD_SINKS {
 public:
  SCOPED_MSG_THREAD_SINKS(MSG_SINK* default_sink, MSG_SINK* debug_sink);
  ~SCOPED_MSG_THREAD_SINKS();
  SCOPED_MSG_THREAD_SINKS(const SCOPED_MSG_THREAD_SINKS&) = delete;
  SCOPED_MSG_THREAD_SINKS& operator=(const SCOPED_MSG_THREAD_SINKS&) = delete;

 private:
  MSG_SINK* m_previous_default;
  MSG_SINK* m_previous_debug;
};

// A sink that records what it receives. Live reports are registered, so a report handle coming
// from outside (a child's Tcl line) can be checked with find_live before it is used.
class MSG_REPORT : public MSG_SINK {
 public:
  MSG_REPORT();
  ~MSG_REPORT() override;
  MSG_REPORT(const MSG_REPORT&) = delete;
  MSG_REPORT& operator=(const MSG_REPORT&) = delete;

  void deliver(const MSG_RECORD& record) override;
  // A copy of what was recorded so far, in arrival order.
  std::vector<MSG_RECORD> records() const;
  size_t count() const;
  // The live report at that address, or null.
  static MSG_REPORT* find_live(const void* handle);

 private:
  struct STATE;
  STATE* m_state;
};

// Base of all message objects. The text is formatted when the arguments are filled in.
class MSG_BASE {
 public:
  explicit MSG_BASE(MSG_REPORT* report);
  virtual ~MSG_BASE();
  MSG_BASE(const MSG_BASE&) = delete;
  MSG_BASE& operator=(const MSG_BASE&) = delete;

  virtual void set_id(unsigned id);
  // Delivers the message to its report, or to the default sink when it has none; once: the
  // text moves into what is delivered, so text() is empty after it.
  virtual void post();

  // Stores the arguments of a message format: "%1!s!" style conversions (argument number and
  // printf conversion between '!'), then "/", the kind letter and the symbolic name.
  void fill_args(const char* format, va_list args);
  // The same with variable arguments (defined by the library that posts through it).
  void fill_args(const char* format, ...);

  unsigned id() const { return m_id; }
  const std::string& text() const { return m_text; }
  const std::string& symbol() const { return m_symbol; }

 protected:
  virtual MSG_KIND kind() const = 0;
  MSG_REPORT* m_report;
  unsigned m_id = 0;
  std::string m_text;
  std::string m_symbol;
};

// Base of messages that are posted to the user (as opposed to debug text).
class MSG_POST : public MSG_BASE {
 public:
  using MSG_BASE::MSG_BASE;
};

class MSG_E : public MSG_POST {
 public:
  explicit MSG_E(MSG_REPORT* report) : MSG_POST(report) {}

 protected:
  MSG_KIND kind() const override { return MSG_KIND::ERROR; }
};

class MSG_W : public MSG_POST {
 public:
  explicit MSG_W(MSG_REPORT* report) : MSG_POST(report) {}

 protected:
  MSG_KIND kind() const override { return MSG_KIND::WARNING; }
};

class MSG_I : public MSG_POST {
 public:
  explicit MSG_I(MSG_REPORT* report) : MSG_POST(report) {}

 protected:
  MSG_KIND kind() const override { return MSG_KIND::INFO; }
};

// Stand-ins for suppressed information and warnings: posting them does nothing.
class MSG_I_NULL : public MSG_I {
 public:
  MSG_I_NULL() : MSG_I(nullptr) {}
  void post() override {}
};

class MSG_W_NULL : public MSG_W {
 public:
  MSG_W_NULL() : MSG_W(nullptr) {}
  void post() override {}
};

// Debug text of one module at one level; posting shows it only when that output is on.
class MSG_D : public MSG_POST {
 public:
  explicit MSG_D(MSG_REPORT* report) : MSG_POST(report) {}
  virtual void set_debug_module(const char* module, MSG_D_LEVEL level);
  void post() override;
  // Sets module and level; true when that debug output is on.
  bool set_enabled(const char* module, MSG_D_LEVEL level);
  // With a null module: false when all debug output is off; else whether the module has any on.
  static bool debug_messages_enabled(const char* module);

 protected:
  MSG_KIND kind() const override { return MSG_KIND::DEBUG; }

 private:
  std::string m_module;
  MSG_D_LEVEL m_level = MSG_D_LEVEL_2;
};

// Turns a module's debug output on up to level (0: off). Takes effect at the next check.
void msg_set_debug_level(const char* module, int level);
// True when debug output of module at level is on.
bool msg_debug_enabled(const char* module, MSG_D_LEVEL level);

// Which message ids are registered and which the user suppressed.
class MSG_INDEX {
 public:
  virtual ~MSG_INDEX() = default;
  static MSG_INDEX* get_default_index();
  virtual bool is_suppressed(unsigned id) const = 0;
  virtual void suppress(unsigned id) = 0;
  virtual void unsuppress(unsigned id) = 0;
  // True with *type set when id is registered.
  virtual bool is_registered(unsigned id, MSG_POST_TYPE* type) const = 0;
};

// Registers ids with their severities for the registrar's lifetime. The arrays must outlive it.
class MSG_ID_REGISTRAR {
 public:
  MSG_ID_REGISTRAR(const unsigned* ids, const MSG_POST_TYPE* types, int count);
  ~MSG_ID_REGISTRAR();
  MSG_ID_REGISTRAR(const MSG_ID_REGISTRAR&) = delete;
  MSG_ID_REGISTRAR& operator=(const MSG_ID_REGISTRAR&) = delete;

 private:
  const unsigned* m_ids;
  int m_count;
};

// Posts an error record (an internal-error record when internal) to report, or to the default
// sink when report is null.
void msg_post(const BRANTOR_ERROR_MESSAGE& error, bool internal, MSG_REPORT* report);

class MSG_INTERNAL_ERROR {
 public:
  // Writes "INTERNAL ERROR: <text> (<module> <file>:<line>)" to stderr and aborts.
  [[noreturn]] static void report(const char* text, const char* module, const char* file, int line);
};

// True while the message service runs (between host_start and host_stop).
extern bool msg_initialized;

// Writes the printf-style text as debug output of module at level, when that output is on.
void msg_local_vdebug(const char* module, MSG_D_LEVEL level, const char* format, va_list args);
// Writes the printf-style text as debug output of module without checking whether it is on.
void msg_local_vdebug_no_checking_impl(const char* module, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Names of the host's Tcl commands that post a message and report an internal error.
extern const char* const msg_tcl_post_cmd;
extern const char* const msg_tcl_ie_cmd;
