// Sleeping that the host's stop request (thr_request_stop) ends early.
#pragma once

// Sleeps up to milliseconds in short slices, returning early once the host is asked to stop.
void sleep_unless_stopped(long long milliseconds);
