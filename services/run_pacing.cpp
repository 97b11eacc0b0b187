// A run's pacing: its timeout and the events served while the child is silent.
#include "services/run_pacing.h"

#include "host/thr_gui.h"

namespace {

// Often enough for timers to feel on time, rarely enough to keep an idle run cheap.
constexpr auto EVENT_INTERVAL = std::chrono::milliseconds(10);

}  // namespace

bool RUN_PACING::pass() {
  const CLOCK::time_point now = CLOCK::now();
  if (m_timeout > CLOCK::duration::zero()) {
    if (!m_deadline) m_deadline = now + m_timeout;
    if (now >= *m_deadline) m_timed_out = true;
  }
  if (m_serve_events && now - m_last_served >= EVENT_INTERVAL) {
    m_last_served = now;
    thr_qt_process_events();
  }
  return m_timed_out;
}
