// Renders audio through the program's own components into a wave file, for tests, benchmarks
// and checks. Prints one JSON line with the figures of the run.
//
//   tessaro-render [--stage reader] [--loops N] [--seconds S] INPUT OUTPUT.wav
#include "chain/MMMsgs.h"
#include "platform/Threads.h"
#include "sources/MMWave.h"
#include "sources/MMWaveIO.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string stage = "reader";
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

// The wave file reader alone, pulled to its end as a device would pull it.
Figures RenderReader(const Options& options) {
    const auto loadStart = Clock::now();
    TMMComponentOwner owner;
    auto* reader = new TMMWaveFile(&owner);
    reader->SetFileName(options.input);
    const WAVEFORMATEX* format = reader->GetPWaveFormat();
    if (format == nullptr || format->nAvgBytesPerSec == 0)
        throw EMMWaveError(LoadResStr(SInvalidWaveFile));
    WaveWriter writer(options.output, format);

    reader->SetBufferSize(4096);
    reader->Open();
    reader->Start();
    const int32_t size = reader->GetBufferSize();
    std::vector<char> data(static_cast<std::size_t>(size));
    TMMChainHdr header{};
    header.lpData = data.data();
    const int64_t byteLimit =
        options.seconds ? static_cast<int64_t>(*options.seconds * format->nAvgBytesPerSec) : -1;
    const uint16_t blockAlign = format->nBlockAlign > 0 ? format->nBlockAlign : 1;
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
        reader->BufferLoad(&header, more);
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
    reader->Close();
    writer.Finish();
    figures.frames = written / blockAlign;
    figures.secondsAudio = static_cast<double>(written) / format->nAvgBytesPerSec;
    figures.secondsWall = MillisecondsSince(loadStart) / 1000.0;
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const Options options = ParseArguments(argc, argv);
        if (options.stage != "reader")
            throw UsageError("stage \"" + options.stage + "\" is not available in this build");
        if (options.realtime || options.device || options.volume || options.effect)
            throw UsageError("--realtime, --device, --volume and --effect need the chain stage");
        const Figures figures = RenderReader(options);
        const double speed =
            figures.secondsWall > 0 ? figures.secondsAudio / figures.secondsWall : 0.0;
        std::printf("{\"frames\":%lld, \"seconds_audio\":%.6f, \"seconds_wall\":%.6f, "
                    "\"x_realtime\":%.3f, \"first_buffer_ms\":%.3f}\n",
                    static_cast<long long>(figures.frames), figures.secondsAudio,
                    figures.secondsWall, speed, figures.firstBufferMs);
        return 0;
    } catch (const UsageError& error) {
        std::fprintf(stderr,
                     "tessaro-render: %s\nusage: tessaro-render [--stage reader] [--loops N] "
                     "[--seconds S] INPUT OUTPUT.wav\n",
                     error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tessaro-render: %s\n", error.what());
        return 1;
    }
}
