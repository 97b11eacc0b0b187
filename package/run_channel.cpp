// The bounded queue between a run's worker and the application's thread, and its delivery event.
#include "package/run_channel.h"

#include <utility>

void (*run_channel_deliver)(long number) = nullptr;
void (*run_channel_deliver_now)(long number) = nullptr;

namespace {

struct DELIVERY_EVENT {
  Tcl_Event header;  // first: Tcl frees the event through it
  long number;
};

int on_delivery_event(Tcl_Event* event, int) {
  if (run_channel_deliver != nullptr)
    run_channel_deliver(reinterpret_cast<DELIVERY_EVENT*>(event)->number);
  return 1;
}

}  // namespace

RUN_CHANNEL::RUN_CHANNEL(long number, Tcl_ThreadId application, size_t capacity)
    : number(number), m_application(application), m_capacity(capacity) {}

void RUN_CHANNEL::post_event_locked() {
  if (m_event_posted || m_abandoned) return;
  m_event_posted = true;
  auto* event = reinterpret_cast<DELIVERY_EVENT*>(ckalloc(sizeof(DELIVERY_EVENT)));
  event->header.proc = on_delivery_event;
  event->header.nextPtr = nullptr;
  event->number = number;
  Tcl_ThreadQueueEvent(m_application, &event->header, TCL_QUEUE_TAIL);
  Tcl_ThreadAlert(m_application);
}

void RUN_CHANNEL::push(RUN_ITEM item) {
  std::unique_lock<std::mutex> lock(m_mutex);
  // A flooding backend waits here instead of filling the memory or the application's queue.
  if (Tcl_GetCurrentThread() != m_application)
    m_changed.wait(lock, [this] { return m_items.size() < m_capacity || m_abandoned; });
  if (m_abandoned) return;
  m_items.push_back(std::move(item));
  post_event_locked();
}

std::vector<RUN_ITEM> RUN_CHANNEL::take() {
  std::vector<RUN_ITEM> batch;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    batch.reserve(m_items.size());
    for (RUN_ITEM& item : m_items) batch.push_back(std::move(item));
    m_items.clear();
    m_event_posted = false;
  }
  m_changed.notify_all();
  return batch;
}

int RUN_CHANNEL::forward(const std::string& script, std::string* result, TCL_RUN* origin) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answered = false;
  }
  RUN_ITEM item(RUN_ITEM::FORWARD);
  item.text = script;
  item.origin = origin;
  push(std::move(item));
  // A run served on the application's own thread (a pool's) has no one else to deliver it.
  if (Tcl_GetCurrentThread() == m_application) run_channel_deliver_now(number);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait(lock, [this] { return m_answered || m_abandoned; });
  if (!m_answered) {
    *result = "the application is exiting";
    return TCL_ERROR;
  }
  *result = std::move(m_answer);
  return m_answer_code;
}

void RUN_CHANNEL::answer(int code, const std::string& result) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answered = true;
    m_answer_code = code;
    m_answer = result;
  }
  m_changed.notify_all();
}

void RUN_CHANNEL::request_stop() { m_stop.store(true, std::memory_order_relaxed); }

void RUN_CHANNEL::abandon() {
  request_stop();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_abandoned = true;
    m_items.clear();
  }
  m_changed.notify_all();
}

void RUN_CHANNEL::mark_finished() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished = true;
  }
  m_changed.notify_all();
}

bool RUN_CHANNEL::wait_finished(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [this] { return m_finished; });
}
