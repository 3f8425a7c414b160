// Serves one simulated device on its endpoint until the daemon or the
// endpoint stops, as the device would sit on a USB link: every host message
// is one frame for the device, and each answer block goes back to the host
// that wrote the frame, as one message of its own, when the device has it.
// Nothing marks the end of an answer.
//
// A device takes its time like a real one: a delay fault sends a frame's
// answers that much later while every other host is served meanwhile, and a
// host's frames are answered in the order they came. Answers a late_answer
// fault holds back stay with the connection they were meant for: they go out
// before the answers to its next frame, unsolicited after the fault's amount,
// or nowhere when it closes. An unplug cuts every host once the answers it
// lets through are out; the device comes back, powered up again, when a host
// connects next.
#pragma once

#include <chrono>
#include <functional>

#include "device_model.h"
#include "endpoint.h"

namespace velkor::sim {

struct ServeHooks {
    // After every host frame the device took (to save state).
    std::function<void()> after_exchange;
    // Every host's coming and going and every frame in and out, with the
    // host it concerns, when it happens on the endpoint.
    std::function<void(Endpoint::Host, const LogEntry &)> log;
    // The clock due answers are timed by; unset: the steady clock. A test's
    // endpoint can run time of its own.
    std::function<std::chrono::steady_clock::time_point()> now;
};

void serve_device(Endpoint &endpoint, DeviceModel &model, const ServeHooks &hooks = {});

}  // namespace velkor::sim
