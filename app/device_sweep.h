#pragma once
// One discovery sweep of every local interface, from opening the sockets to closing them.

#include <span>

#include "discovery/device_record.h"

// Writes the records of the instruments that answered from records[0]; returns their count.
int SweepLocalNetwork(std::span<DeviceRecord, MAX_DEVICES> records);
