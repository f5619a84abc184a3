#include "update/update_callbacks.h"

std::atomic<int> g_stopUpdate{0};
