// Event service: manual-reset events.
#pragma once

struct THR_EVENT_IMPL;
using THR_EVENT = THR_EVENT_IMPL*;

// A new event, not signalled.
THR_EVENT thr_event_create();
// Signals the event; it stays signalled until reset and wakes every waiter.
void thr_event_post(THR_EVENT event);
// Clears the signal.
void thr_event_reset(THR_EVENT event);
// Waits at most timeout_ms milliseconds; 0 when signalled, 1 on timeout.
int thr_event_wait(THR_EVENT event, unsigned long timeout_ms);
// Releases the event; null is ignored.
void thr_event_destroy(THR_EVENT event);
