#include "support/PulseNullSink.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::vector<char*> ArgumentVector(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}

// Starts a program with stdin from /dev/null and its output into outputFile (or /dev/null);
// extraEnvironment entries ("NAME=value") are added to this process's environment.
pid_t Spawn(std::vector<std::string> args, const std::string& outputFile, int outputFd = -1,
            std::vector<std::string> extraEnvironment = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    } else {
        const std::string target = outputFile.empty() ? "/dev/null" : outputFile;
        posix_spawn_file_actions_addopen(&actions, 1, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        environment.emplace_back(*entry);
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> argv = ArgumentVector(args);
    std::vector<char*> envp = ArgumentVector(environment);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Runs a program to its end (killing it after boundMs); its exit status, -1 when it did not
// run or end, and what it printed.
int Run(std::vector<std::string> args, std::string* output = nullptr, int boundMs = 10000) {
    char path[] = "/tmp/tessaro-pulse-run-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return -1;
    close(fd);
    const pid_t pid = Spawn(std::move(args), path);
    int status = -1;
    if (pid > 0) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                status = -1;
                break;
            }
            std::this_thread::sleep_for(5ms); // polling a child process for its end
        }
    }
    if (output != nullptr) {
        std::ifstream file(path);
        output->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    unlink(path);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Asks until the server answers, up to boundMs.
bool WaitUntilAnswering(const std::vector<std::string>& serverArgs, int boundMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
        std::vector<std::string> args{"pactl"};
        args.insert(args.end(), serverArgs.begin(), serverArgs.end());
        args.push_back("info");
        if (Run(args) == 0)
            return true;
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(100ms); // the server is still starting
    }
}

void EnsureRuntimeDirectory() {
    if (std::getenv("XDG_RUNTIME_DIR") != nullptr)
        return;
    const std::string own = "/run/user/" + std::to_string(getuid());
    struct stat info {};
    std::string directory = own;
    if (stat(own.c_str(), &info) != 0 || info.st_uid != getuid() ||
        access(own.c_str(), W_OK) != 0) {
        directory = "/tmp/tessaro-runtime-" + std::to_string(getuid());
        mkdir(directory.c_str(), 0700);
    }
    setenv("XDG_RUNTIME_DIR", directory.c_str(), 0);
}

// The process's own sink, so that test programs running side by side do not hear each other.
// It never rewinds: a sink that rewinds mixes the start of a new stream (and the end of a
// paused one) into sound it has already handed to its monitor, so the recording would lose or
// repeat frames that were in fact played once.
std::string SinkName() {
    return "tessaro_test_" + std::to_string(getpid());
}

std::vector<std::string> SinkArguments() {
    return {"sink_name=" + SinkName(), "norewinds=1", "format=s16le", "rate=44100", "channels=2"};
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// Unloads the sinks that test processes which ended without tidying up (a crash, a kill) left
// on a server that outlives them.
void RemoveSinksOfEndedProcesses() {
    std::string modules;
    if (Run({"pactl", "list", "short", "modules"}, &modules) != 0)
        return;
    std::istringstream lines(modules);
    std::string line;
    const std::string marker = "sink_name=tessaro_test_";
    while (std::getline(lines, line)) {
        const std::size_t at = line.find(marker);
        if (at == std::string::npos)
            continue;
        const pid_t owner = static_cast<pid_t>(std::atol(line.c_str() + at + marker.size()));
        if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH)
            Run({"pactl", "unload-module", line.substr(0, line.find('\t'))});
    }
}

// Unloads the process's sink when the process ends.
struct LoadedSink {
    ~LoadedSink() {
        if (!module.empty())
            Run({"pactl", "unload-module", module});
    }
    std::string module; // the module index pactl gave
};

} // namespace

struct PulseNullSink::Shared {
    std::mutex mutex;
    std::condition_variable arrived;
    pid_t recorder = -1;
    int pipe = -1;
    std::thread reader;
    uint64_t received = 0; // bytes from the monitor so far
    bool ended = false;    // the recorder stopped delivering
    bool keeping = false;
    uint64_t keptFrom = 0; // byte count at Start
    std::vector<uint8_t> kept;
};

bool PulseNullSink::Installed() {
    return OnPath("pulseaudio") && OnPath("pactl") && OnPath("parec");
}

std::string PulseNullSink::EnsureRunning() {
    EnsureRuntimeDirectory();
    if (Run({"pactl", "info"}) != 0) {
        std::vector<std::string> args{
            "pulseaudio", "--daemonize=yes",         "--exit-idle-time=-1",
            "-n",         "--load=module-null-sink", "--load=module-native-protocol-unix"};
        if (geteuid() == 0)
            args.push_back("--system=false");
        std::string output;
        // Another test process may be starting one at the same moment; whichever wins, the
        // server answers below.
        Run(args, &output);
        if (!WaitUntilAnswering({}, 10000))
            return "the PulseAudio server did not start: " + output;
    }
    static LoadedSink sink;
    if (sink.module.empty()) {
        RemoveSinksOfEndedProcesses();
        std::vector<std::string> args{"pactl", "load-module", "module-null-sink"};
        const std::vector<std::string> sinkArguments = SinkArguments();
        args.insert(args.end(), sinkArguments.begin(), sinkArguments.end());
        std::string output;
        if (Run(args, &output) != 0)
            return "cannot load the null sink: " + output;
        sink.module = output.substr(0, output.find_first_of("\r\n"));
    }
    // New streams of this process go to its sink.
    setenv("PULSE_SINK", SinkName().c_str(), 1);
    return {};
}

PulseNullSink& PulseNullSink::Recorder() {
    static PulseNullSink recorder;
    return recorder;
}

PulseNullSink::~PulseNullSink() {
    if (shared_ == nullptr)
        return;
    if (shared_->recorder > 0) {
        kill(shared_->recorder, SIGTERM);
        waitpid(shared_->recorder, nullptr, 0);
    }
    if (shared_->reader.joinable())
        shared_->reader.join();
    if (shared_->pipe >= 0)
        close(shared_->pipe);
    delete shared_;
}

std::string PulseNullSink::Launch() {
    shared_ = new Shared;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return std::string("no pipe: ") + std::strerror(errno);
    shared_->recorder = Spawn({"parec", "--latency-msec=20", "-d", SinkName() + ".monitor",
                               "--format=s16le", "--rate=44100", "--channels=2", "--raw"},
                              {}, fds[1]);
    close(fds[1]);
    shared_->pipe = fds[0];
    if (shared_->recorder <= 0)
        return "parec did not start";
    shared_->reader = std::thread([this] { Read(); });
    // The sink delivers its first sound once it has left the long buffering of an idle sink.
    std::unique_lock lock(shared_->mutex);
    if (!shared_->arrived.wait_for(lock, 15s,
                                   [&] { return shared_->received > 0 || shared_->ended; }) ||
        shared_->ended)
        return "parec delivers nothing from " + SinkName() + ".monitor";
    return {};
}

void PulseNullSink::Read() {
    uint8_t block[4096];
    for (;;) {
        const ssize_t count = read(shared_->pipe, block, sizeof block);
        if (count < 0 && errno == EINTR)
            continue;
        std::lock_guard lock(shared_->mutex);
        if (count <= 0) {
            shared_->ended = true;
            shared_->arrived.notify_all();
            return;
        }
        if (shared_->keeping)
            shared_->kept.insert(shared_->kept.end(), block, block + count);
        shared_->received += static_cast<uint64_t>(count);
        shared_->arrived.notify_all();
    }
}

std::string PulseNullSink::Start() {
    if (shared_ == nullptr) {
        const std::string error = Launch();
        if (!error.empty())
            return error;
    }
    std::lock_guard lock(shared_->mutex);
    if (shared_->ended)
        return "the recorder has stopped";
    shared_->kept.clear();
    shared_->kept.reserve(size_t{kRate} * kChannels * 2 * 10);
    shared_->keptFrom = shared_->received;
    shared_->keeping = true;
    return {};
}

std::vector<int16_t> PulseNullSink::Stop(int tailMs) {
    std::vector<int16_t> samples;
    if (shared_ == nullptr)
        return samples;
    std::unique_lock lock(shared_->mutex);
    const uint64_t until = shared_->received + uint64_t{kRate} * kChannels * 2 * tailMs / 1000;
    shared_->arrived.wait_for(lock, 10s,
                              [&] { return shared_->received >= until || shared_->ended; });
    shared_->keeping = false;
    // Whole frames from a frame boundary of the stream on.
    const std::size_t frameBytes = kChannels * 2;
    std::size_t skip = (frameBytes - shared_->keptFrom % frameBytes) % frameBytes;
    skip = std::min(skip, shared_->kept.size());
    const std::size_t frames = (shared_->kept.size() - skip) / frameBytes;
    samples.resize(frames * kChannels);
    if (frames > 0)
        std::memcpy(samples.data(), shared_->kept.data() + skip, frames * frameBytes);
    shared_->kept.clear();
    return samples;
}

PrivatePulseServer::PrivatePulseServer() {
    char pattern[] = "/tmp/tessaro-pulse-XXXXXX";
    if (mkdtemp(pattern) != nullptr)
        directory_ = pattern;
}

PrivatePulseServer::~PrivatePulseServer() {
    Kill();
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

std::string PrivatePulseServer::Address() const {
    return "unix:" + directory_ + "/native";
}

std::string PrivatePulseServer::Start() {
    if (directory_.empty())
        return "no folder for the server";
    std::vector<std::string> args{
        "pulseaudio",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "-n",
        "--load=module-null-sink " + Joined(SinkArguments()),
        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + directory_ + "/native"};
    if (geteuid() == 0)
        args.push_back("--system=false");
    // Its own runtime folder, so it does not find the shared server's and refuse to start.
    pid_ = Spawn(args, directory_ + "/log", -1, {"PULSE_RUNTIME_PATH=" + directory_ + "/runtime"});
    if (pid_ <= 0)
        return "pulseaudio did not start";
    if (!WaitUntilAnswering({"--server=" + Address()}, 10000)) {
        std::ifstream log(directory_ + "/log");
        return "the private server does not answer: " +
               std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
    }
    return {};
}

void PrivatePulseServer::Kill() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

} // namespace testsupport

// The ALSA pulse plug-in's PulseAudio libraries are not built for ThreadSanitizer, which then
// takes their own locking between their threads for races. Only those are set aside.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulsecommon\n"
           "race:libpulse.so\n"
           "race:libasound_module_pcm_pulse.so\n";
}
