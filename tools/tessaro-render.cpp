// Renders audio through the program's own components into a wave file, for tests, benchmarks
// and checks. Prints one JSON line with the figures of the run.
//
//   tessaro-render [--stage reader|source|chain] [--loops N] [--volume V] [--effect on|off]
//                  [--realtime] [--device ID] [--seconds S] INPUT OUTPUT.wav
#include "app/AudioChain.h"
#include "chain/MMMsgs.h"
#include "output/MMWavOut.h"
#include "platform/MainThread.h"
#include "platform/Threads.h"
#include "platform/WaveOutVirtual.h"
#include "processing/MMVolume.h"
#include "processing/MMWMixer.h"
#include "sources/MMAudio.h"
#include "sources/MMWave.h"
#include "sources/MMWaveIO.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    std::string stage = "chain";
    int loops = 0;
    std::optional<double> seconds;
    std::optional<int> volume;
    std::optional<bool> effect;
    bool realtime = false;
    std::optional<int> device;
    std::string input;
    std::string output;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

int ParseInt(const std::string& text, const char* what) {
    try {
        std::size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used == text.size())
            return value;
    } catch (const std::exception&) {
    }
    throw UsageError(std::string("invalid value for ") + what + ": " + text);
}

Options ParseArguments(int argc, char** argv) {
    Options options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc)
                throw UsageError(std::string("missing value for ") + what);
            return argv[++i];
        };
        if (arg == "--stage")
            options.stage = value("--stage");
        else if (arg == "--loops")
            options.loops = ParseInt(value("--loops"), "--loops");
        else if (arg == "--seconds") {
            const std::string text = value("--seconds");
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || seconds < 0)
                throw UsageError("invalid value for --seconds: " + text);
            options.seconds = seconds;
        } else if (arg == "--volume")
            options.volume = ParseInt(value("--volume"), "--volume");
        else if (arg == "--effect") {
            const std::string text = value("--effect");
            if (text != "on" && text != "off")
                throw UsageError("invalid value for --effect: " + text);
            options.effect = text == "on";
        } else if (arg == "--realtime")
            options.realtime = true;
        else if (arg == "--device")
            options.device = ParseInt(value("--device"), "--device");
        else if (arg.rfind("--", 0) == 0)
            throw UsageError("unknown option " + arg);
        else
            positional.push_back(arg);
    }
    if (positional.size() != 2)
        throw UsageError("expected INPUT and OUTPUT.wav");
    if (options.loops < 0)
        throw UsageError("--loops must not be negative");
    options.input = positional[0];
    options.output = positional[1];
    return options;
}

// Writes the rendered stream into a wave file of the stream's own format.
class WaveWriter {
public:
    WaveWriter(const std::string& name, const WAVEFORMATEX* format) {
        if (WaveIOFromFormat(block_, format) != WIOERR_NOERROR ||
            WaveIOCreate(block_, name) != WIOERR_NOERROR) {
            Free();
            throw std::runtime_error("Unable to create " + name);
        }
    }
    ~WaveWriter() { Free(); }
    void Write(const char* data, int32_t count) {
        if (WaveIOWrite(block_, data, count) != count)
            throw std::runtime_error("Error writing the output file");
    }
    void Finish() {
        if (WaveIOFinish(block_) != WIOERR_NOERROR)
            throw std::runtime_error("Error completing the output file");
    }

private:
    void Free() {
        if (block_ != nullptr)
            WaveIOFree(block_);
    }
    PWaveIOCB block_ = nullptr;
};

struct Figures {
    int64_t frames = 0;
    double secondsAudio = 0;
    double secondsWall = 0;
    double firstBufferMs = -1;
};

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Pulls an opened and started source to its end as a device would (in pulls of the source's
// buffer size, with the loop passes asked for) and writes what it delivers to OUTPUT.
Figures PullToFile(TMMDSPComponent& source, const WAVEFORMATEX& format, const Options& options,
                   Clock::time_point loadStart) {
    WaveWriter writer(options.output, &format);
    const int32_t size = source.GetBufferSize();
    std::vector<char> data(static_cast<std::size_t>(size));
    TMMChainHdr header{};
    header.lpData = data.data();
    const int64_t byteLimit =
        options.seconds ? static_cast<int64_t>(*options.seconds * format.nAvgBytesPerSec) : -1;
    const uint16_t blockAlign = format.nBlockAlign > 0 ? format.nBlockAlign : 1;
    int32_t loopsLeft = options.loops;
    Figures figures;
    int64_t written = 0;
    for (;;) {
        header.dwBufferLength = static_cast<uint32_t>(size);
        header.dwBytesRecorded = 0;
        header.dwLooping = options.loops > 0 ? MMChainTrue : 0;
        header.dwLoopCount = options.loops;
        header.dwLoopsLeft = loopsLeft;
        header.dwLoopWrapped = 0;
        bool more = false;
        source.BufferLoad(&header, more);
        loopsLeft = header.dwLoopsLeft;
        if (figures.firstBufferMs < 0)
            figures.firstBufferMs = MillisecondsSince(loadStart);
        int64_t got = static_cast<int32_t>(header.dwBytesRecorded);
        if (got <= 0)
            break;
        if (byteLimit >= 0 && written + got > byteLimit)
            got = (byteLimit - written) / blockAlign * blockAlign;
        writer.Write(data.data(), static_cast<int32_t>(got));
        written += got;
        if (!more || (byteLimit >= 0 && written >= byteLimit))
            break;
    }
    writer.Finish();
    figures.frames = written / blockAlign;
    figures.secondsAudio = static_cast<double>(written) / format.nAvgBytesPerSec;
    figures.secondsWall = MillisecondsSince(loadStart) / 1000.0;
    return figures;
}

// The wave file reader alone, pulled to its end as a device would pull it.
Figures RenderReader(const Options& options) {
    const auto loadStart = Clock::now();
    TMMComponentOwner owner;
    auto* reader = new TMMWaveFile(&owner);
    reader->SetFileName(options.input);
    const WAVEFORMATEX* format = reader->GetPWaveFormat();
    if (format == nullptr || format->nAvgBytesPerSec == 0)
        throw EMMWaveError(LoadResStr(SInvalidWaveFile));
    const WAVEFORMATEX fileFormat = *format;
    reader->SetBufferSize(4096);
    reader->Open();
    reader->Start();
    Figures figures = PullToFile(*reader, fileFormat, options, loadStart);
    reader->Close();
    return figures;
}

// Keeps what the output writes to its device, up to a capacity reserved ahead (the copies run
// on the service thread, which must not allocate; the pages are touched as they fill), and the
// time from the start of the load to the first buffer handed to the device.
class DeviceCapture {
public:
    DeviceCapture(TMMWaveOut& out, int64_t capacity, Clock::time_point loadStart)
        : capacity_(std::max<int64_t>(capacity, 0)),
          data_(new char[static_cast<std::size_t>(capacity_)]) {
        out.OnBufferFilled = [this, loadStart](TObject*, PMMChainHdr hdr) {
            int64_t expected = -1;
            firstBufferUs_.compare_exchange_strong(
                expected,
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - loadStart)
                    .count());
            const int64_t at = bytes_.load();
            const int64_t count = std::min<int64_t>(hdr->dwBytesRecorded, capacity_ - at);
            if (count > 0) {
                std::memcpy(data_.get() + at, hdr->lpData, static_cast<std::size_t>(count));
                bytes_.store(at + count);
            }
        };
    }
    const char* Data() const { return data_.get(); }
    int64_t Bytes() const { return bytes_.load(); }
    bool Full() const { return bytes_.load() >= capacity_; }
    double FirstBufferMs() const { return static_cast<double>(firstBufferUs_.load()) / 1000.0; }

private:
    const int64_t capacity_;
    std::unique_ptr<char[]> data_;
    std::atomic<int64_t> bytes_{0};
    std::atomic<int64_t> firstBufferUs_{-1};
};

// How long what the output keeps queued takes to play, with a margin.
int64_t QueuedMs(TMMWaveOut& out, const WAVEFORMATEX& format) {
    return 1000LL * out.BufferSize() * out.GetNumBuffers() /
               std::max<int64_t>(format.nAvgBytesPerSec, 1) +
           100;
}

// The wave file reader played through the wave output in real time: to the ALSA device when one
// is named, else to the virtual device. OUTPUT receives what was written to the device.
Figures RenderRealtime(const Options& options) {
    const auto loadStart = Clock::now();
    if (!options.device)
        SetWaveOutService(std::make_shared<TVirtualWaveOutService>(TVirtualClock::RealTime, 1));
    TMMComponentOwner owner;
    auto* reader = new TMMWaveFile(&owner);
    reader->SetFileName(options.input);
    const WAVEFORMATEX* format = reader->GetPWaveFormat();
    if (format == nullptr || format->nAvgBytesPerSec == 0)
        throw EMMWaveError(LoadResStr(SInvalidWaveFile));
    const WAVEFORMATEX fileFormat = *format;
    auto* out = new TMMWaveOut(&owner);
    out->SetDeviceID(options.device.value_or(0));
    out->SetBufferSize(4096);
    out->SetNumBuffers(10);
    out->SetCallBackMode(cmThread);
    out->SetPriority(tpHighest);
    out->SetInput(reader);
    out->SetLooping(options.loops > 0);
    out->SetLoopCount(static_cast<uint16_t>(options.loops));

    int64_t limit = static_cast<int64_t>(reader->Wave().DataSize()) * fileFormat.nBlockAlign *
                    (options.loops + 1);
    if (options.seconds)
        limit = std::min<int64_t>(
            limit, static_cast<int64_t>(*options.seconds * fileFormat.nAvgBytesPerSec));
    limit -= limit % std::max<int>(fileFormat.nBlockAlign, 1);
    DeviceCapture capture(*out, limit, loadStart);
    bool stopped = false;
    out->OnStop = [&](TObject*) { stopped = true; };

    out->StartDevice();
    // Until the end of the data has played (the device stops itself), or, with --seconds, until
    // what was written up to the limit has played out of the device's queue.
    int64_t limitPlayedAt = -1;
    while (!stopped && out->State() != TMMWaveOut::wosClosed) {
        platform::ProcessMessages();
        if (options.seconds && capture.Full() && limitPlayedAt < 0)
            limitPlayedAt = MonotonicMilliseconds() + QueuedMs(*out, fileFormat);
        if (limitPlayedAt >= 0 && MonotonicMilliseconds() >= limitPlayedAt)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    out->CloseDevice();
    platform::ProcessMessages(); // a failure handed over from the service thread shows here

    WaveWriter writer(options.output, &fileFormat);
    writer.Write(capture.Data(), static_cast<int32_t>(capture.Bytes()));
    writer.Finish();
    Figures figures;
    figures.frames = capture.Bytes() / std::max<int>(fileFormat.nBlockAlign, 1);
    figures.secondsAudio = static_cast<double>(capture.Bytes()) / fileFormat.nAvgBytesPerSec;
    figures.secondsWall = MillisecondsSince(loadStart) / 1000.0;
    figures.firstBufferMs = capture.FirstBufferMs();
    return figures;
}

// The audio file source alone, pulled to its end: its PCM format, without the short silent
// tail it ends with.
Figures RenderSource(const Options& options) {
    const auto loadStart = Clock::now();
    TMMComponentOwner owner;
    auto* source = new TMMAudioFile(&owner);
    auto* puller = new TMMSectionDriver(&owner);
    source->SetOutput(puller);
    source->SetFileName(options.input);
    const WAVEFORMATEX* format = source->GetPWaveFormat();
    if (source->IsEmpty() || format == nullptr || format->nAvgBytesPerSec == 0)
        throw EMMAudioError("This is not a valid Audiofile");
    const WAVEFORMATEX sourceFormat = *format;
    puller->SetBufferSize(4096);
    puller->Open();
    puller->Start();
    Figures figures = PullToFile(*source, sourceFormat, options, loadStart);
    puller->Close();
    return figures;
}

// INPUT in slot 1 of the program's chain, played as the main window plays it. OUTPUT receives
// the 16-bit stereo 44100 Hz stream written to the device up to the moment the source ended.
Figures RenderChain(const Options& options) {
    if (options.effect.value_or(false))
        throw UsageError("the effect stage is not part of this build");
    if (!options.realtime) {
        // As fast as the chain fills it; what was written is kept here, not in the device.
        auto device = std::make_shared<TVirtualWaveOutService>(TVirtualClock::Instant, 1);
        device->SetCapture(false);
        SetWaveOutService(device);
    } else if (!options.device)
        SetWaveOutService(std::make_shared<TVirtualWaveOutService>(TVirtualClock::RealTime, 1));
    TAudioChain chain;
    TMMWaveOut* out = chain.WaveOut();
    if (options.device)
        out->SetDeviceID(*options.device);
    chain.Volume()->SetVolume(options.volume.value_or(16384));
    chain.Mixer(1)->SetLoop(0, options.loops > 0);
    chain.Mixer(1)->SetLoopCount(0, options.loops);

    // As Play does it, with the file's length known before the device starts.
    const auto loadStart = Clock::now();
    out->CloseDevice();
    chain.ResetSlots();
    TMMAudioFile* slot = chain.AudioFile(1);
    slot->SetFileName(options.input);
    if (slot->IsEmpty())
        throw EMMAudioError("This is not a valid Audiofile");
    const WAVEFORMATEX* sourceFormat = slot->GetPWaveFormat();
    const WAVEFORMATEX mixFormat = chain.Mixer(1)->MixFormat();
    // The source's short silent tail, in frames of the mix.
    const int64_t tailFrames =
        sourceFormat != nullptr && sourceFormat->nBlockAlign > 0 && sourceFormat->nSamplesPerSec > 0
            ? (4 / sourceFormat->nBlockAlign) * static_cast<int64_t>(mixFormat.nSamplesPerSec) /
                  sourceFormat->nSamplesPerSec
            : 0;
    int64_t limitFrames = (static_cast<int64_t>(slot->Duration()) + 1000) *
                          mixFormat.nSamplesPerSec / 1000 * (options.loops + 1);
    if (options.seconds)
        limitFrames = std::min<int64_t>(
            limitFrames, static_cast<int64_t>(*options.seconds * mixFormat.nSamplesPerSec));
    const int frameBytes = mixFormat.nBlockAlign;
    DeviceCapture capture(*out, limitFrames * frameBytes, loadStart);
    std::atomic<int64_t> endFrames{-1};
    chain.Mixer(1)->OnClosePort = [&](TObject* sender, int index) {
        if (index == 0 && endFrames.load() < 0)
            endFrames.store(std::max<int64_t>(
                static_cast<TMMWaveMixer*>(sender)->PortState(0).FramesRead - tailFrames, 0));
    };
    slot->SetEnabled(true);
    out->StartDevice();

    int64_t doneAt = -1;
    while (out->State() != TMMWaveOut::wosClosed) {
        platform::ProcessMessages();
        const int64_t end = endFrames.load();
        const bool complete = (end >= 0 && capture.Bytes() >= end * frameBytes) || capture.Full();
        if (complete && doneAt < 0)
            doneAt = MonotonicMilliseconds() + (options.realtime ? QueuedMs(*out, mixFormat) : 0);
        if (doneAt >= 0 && MonotonicMilliseconds() >= doneAt)
            break;
        // The main thread waits without spinning: the service thread needs the processor.
        std::this_thread::sleep_for(std::chrono::milliseconds(options.realtime ? 2 : 1));
    }
    out->CloseDevice();
    platform::ProcessMessages(); // a failure handed over from the service thread shows here

    const double renderSeconds = MillisecondsSince(loadStart) / 1000.0;
    int64_t keep = capture.Bytes();
    if (endFrames.load() >= 0)
        keep = std::min<int64_t>(keep, endFrames.load() * frameBytes);
    WaveWriter writer(options.output, &mixFormat);
    writer.Write(capture.Data(), static_cast<int32_t>(keep));
    writer.Finish();
    Figures figures;
    figures.frames = keep / frameBytes;
    figures.secondsAudio = static_cast<double>(keep) / mixFormat.nAvgBytesPerSec;
    figures.secondsWall = renderSeconds; // the rendering, not the writing of OUTPUT
    figures.firstBufferMs = capture.FirstBufferMs();
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const Options options = ParseArguments(argc, argv);
        if (options.stage != "reader" && options.stage != "source" && options.stage != "chain")
            throw UsageError("unknown stage \"" + options.stage + "\"");
        if (options.stage != "chain" && (options.volume || options.effect))
            throw UsageError("--volume and --effect need the chain stage");
        if (options.stage == "source" && options.realtime)
            throw UsageError("--realtime needs the reader or the chain stage");
        if (options.device && !options.realtime)
            throw UsageError("--device needs --realtime");
        if (options.volume && (*options.volume < 0 || *options.volume > 16384))
            throw UsageError("--volume takes 0 to 16384");
        // A failure on the service thread ends the run with its message.
        std::string failure;
        platform::SetExceptionHandler([&](const std::string& message) { failure = message; });
        Figures figures;
        if (options.stage == "chain")
            figures = RenderChain(options);
        else if (options.stage == "source")
            figures = RenderSource(options);
        else
            figures = options.realtime ? RenderRealtime(options) : RenderReader(options);
        if (!failure.empty())
            throw std::runtime_error(failure);
        const double speed =
            figures.secondsWall > 0 ? figures.secondsAudio / figures.secondsWall : 0.0;
        std::printf("{\"frames\":%lld, \"seconds_audio\":%.6f, \"seconds_wall\":%.6f, "
                    "\"x_realtime\":%.3f, \"first_buffer_ms\":%.3f}\n",
                    static_cast<long long>(figures.frames), figures.secondsAudio,
                    figures.secondsWall, speed, figures.firstBufferMs);
        return 0;
    } catch (const UsageError& error) {
        std::fprintf(
            stderr,
            "tessaro-render: %s\nusage: tessaro-render [--stage reader|source|chain] [--loops N] "
            "[--volume V] [--effect on|off] [--realtime] [--device ID] [--seconds S] "
            "INPUT OUTPUT.wav\n",
            error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tessaro-render: %s\n", error.what());
        return 1;
    }
}
