// A PulseAudio server with a null sink: a sound server that plays in real time without a sound
// card, for tests that must hear what the program plays. ALSA reaches it through its "default"
// and "pulse" devices (the ALSA pulse plug-in).
//
// Threading: the functions and the recorder are called from the test's main thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class PulseNullSink {
public:
    // The format the recorder delivers: interleaved 16-bit stereo at 44100 Hz.
    static constexpr int kRate = 44100;
    static constexpr int kChannels = 2;

    // Whether the programs the tests need (pulseaudio, pactl, parec) are installed.
    static bool Installed();

    // Makes sure a server answers, starting one when none does (and setting XDG_RUNTIME_DIR
    // when it is missing), and gives the process a null sink of its own, which its new streams
    // go to; the sink is removed when the process ends. Empty when ready, otherwise what went
    // wrong. Call it before the process first uses ALSA: ALSA sends "default" to the server
    // only when the server runs as ALSA reads its configuration.
    static std::string EnsureRunning();

    // The process's recorder of the null sink's monitor. It runs from the first Start to the
    // end of the process; while it runs the sink plays at a low latency, as a desktop's would
    // (an idle null sink first buffers seconds ahead and reports no latency).
    static PulseNullSink& Recorder();

    // Starts keeping what the monitor delivers, from a moment before the call on. Empty when
    // recording, otherwise what went wrong.
    std::string Start();
    // Keeps tailMs more of sound, so that what was heard just before the call is in, then stops
    // and returns the samples kept.
    std::vector<int16_t> Stop(int tailMs = 150);

    ~PulseNullSink();
    PulseNullSink(const PulseNullSink&) = delete;
    PulseNullSink& operator=(const PulseNullSink&) = delete;

private:
    PulseNullSink() = default;
    std::string Launch();
    void Read();

    struct Shared;
    Shared* shared_ = nullptr;
};

// A server of the test's own on a private socket, which the test may kill to see a device lose
// its server. It is killed and its files removed with the object.
class PrivatePulseServer {
public:
    PrivatePulseServer();
    ~PrivatePulseServer();
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    // Starts the server and waits until it answers; empty when it does, otherwise why not.
    std::string Start();
    // The value for PULSE_SERVER that reaches it.
    std::string Address() const;
    void Kill();

private:
    std::string directory_;
    pid_t pid_ = -1;
};

} // namespace testsupport
