// Counts every heap allocation of the benchmark process (the global operator
// new is replaced in allocation_counter.cpp), except those made while a
// thread is inside the simulated device.
#pragma once

#include <cstdint>

namespace velkor::bench {

std::uint64_t allocations();

// While alive, allocations on this thread belong to the device, not the library.
class DeviceAllocations {
public:
    DeviceAllocations();
    ~DeviceAllocations();
    DeviceAllocations(const DeviceAllocations &) = delete;
    DeviceAllocations &operator=(const DeviceAllocations &) = delete;
};

}  // namespace velkor::bench
