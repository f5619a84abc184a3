#pragma once
// How an update run reports to whoever started it, and how it is told to stop.

#include <atomic>

// Appends one log line; text is zero-terminated, carries its own line end and is valid
// only during the call.
using LogSink = void (*)(void* context, const wchar_t* text);
// Reports the share of the image acknowledged, 0..100.
using ProgressSink = void (*)(void* context, unsigned percent);

// 1 asks the running update to stop; the run clears it once its sockets are open and
// reads it before its first pass and after every pass. Safe to raise from any thread.
extern std::atomic<int> g_stopUpdate;
