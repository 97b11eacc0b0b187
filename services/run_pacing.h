// What a host checks on every pass of the library's monitoring loop, besides its own stop
// conditions: the run's timeout, and the trusted interpreter's events, which the library
// serves only after the child's output, so that timers and a GUI stay alive while it is silent.
#pragma once

#include <chrono>
#include <optional>

class RUN_PACING {
 public:
  using CLOCK = std::chrono::steady_clock;

  // The run is over once timeout has passed since the first pass; zero or less: none.
  void set_timeout(CLOCK::duration timeout) { m_timeout = timeout; }
  // Whether passes serve events (on unless turned off).
  void serve_events(bool on) { m_serve_events = on; }
  // Called once per pass: serves events when they are due; true once the timeout has passed.
  bool pass();
  bool timed_out() const { return m_timed_out; }

 private:
  CLOCK::duration m_timeout{0};
  bool m_serve_events = true;
  std::optional<CLOCK::time_point> m_deadline;
  CLOCK::time_point m_last_served{};
  bool m_timed_out = false;
};
