// The five CH375* calls: argument checks, dispatch to the chosen backend, the
// wire trace of every transfer, the notification thread on which the
// hot-plug routine runs, and the usb ids as text.
#include "platform/probelib/probelib.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/posix/posix_io.h"
#include "platform/probelib/backend.h"
#include "platform/probelib/lifetime.h"
#include "platform/probelib/sim/sim_backend.h"
#include "platform/probelib/usb/usb_backend.h"

namespace {

// The head of every complaint about the trace file at `path`.
std::string Cannot(const std::string& path, bool chinese) {
    return (chinese ? "无法写入跟踪文件 " : "cannot write the trace ") + path +
           (chinese ? "：" : ": ");
}

// Delivers hot-plug events one at a time on a thread of the library's own, so
// that a backend's plug handling never runs the tool's routine itself.
class Notifier {
  public:
    ~Notifier() { Stop(); }

    void SetRoutine(CH375NotifyRoutine routine) {
        std::lock_guard lock(m_mutex);
        m_routine = routine;
    }

    void Post(uint32_t event) {
        std::lock_guard lock(m_mutex);
        if (m_stopped) return;
        if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
        m_events.push_back(event);
        m_changed.notify_all();
    }

    void WaitIdle() {
        std::unique_lock lock(m_mutex);
        if (m_thread.joinable() && std::this_thread::get_id() == m_thread.get_id()) return;
        m_changed.wait(lock, [this] { return m_stopped || (m_events.empty() && !m_delivering); });
    }

    void Stop() {
        std::thread thread;
        {
            std::lock_guard lock(m_mutex);
            m_stopped = true;
            m_events.clear();
            m_changed.notify_all();
            thread = std::move(m_thread);
        }
        if (!thread.joinable()) return;
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }

  private:
    void Run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stopped || !m_events.empty(); });
            if (m_stopped) return;
            uint32_t event = m_events.front();
            m_events.pop_front();
            CH375NotifyRoutine routine = m_routine;
            m_delivering = true;
            lock.unlock();
            if (routine != nullptr) routine(event);
            lock.lock();
            m_delivering = false;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<uint32_t> m_events;
    CH375NotifyRoutine m_routine = nullptr;
    bool m_delivering = false;
    bool m_stopped = false;
    std::thread m_thread;
};

Notifier& TheNotifier() {
    static Notifier notifier;
    return notifier;
}

std::mutex g_backendMutex;
std::shared_ptr<probelib::Backend> g_backend;
bool g_shutDown = false;
std::string g_releasedWriteFailure;  // the write failure of the backend Shutdown released

// Each call holds its own reference, so a backend replaced or released
// meanwhile lives until the call in flight has returned.
std::shared_ptr<probelib::Backend> CurrentBackend() {
    std::lock_guard lock(g_backendMutex);
    return g_backend;
}

bool ValidPipe(uint32_t pipe) { return pipe == 1 || pipe == 2; }

thread_local probelib::TransferResult t_lastTransfer = probelib::TransferResult::Done;

// What the caller is told about a transfer the backend carried out.
probelib::TransferResult ResultOf(probelib::TransferStatus status, bool complete) {
    using probelib::TransferResult;
    using probelib::TransferStatus;
    switch (status) {
        case TransferStatus::Done:
            return complete ? TransferResult::Done : TransferResult::Short;
        case TransferStatus::TimedOut:
            return TransferResult::TimedOut;
        case TransferStatus::Stalled:
            return TransferResult::Stalled;
        case TransferStatus::NoDevice:
            return TransferResult::NoDevice;
        case TransferStatus::Closed:
            return TransferResult::Cancelled;
        case TransferStatus::Error:
            break;
    }
    return TransferResult::Failed;
}

// The result of a call that reached no backend.
probelib::TransferResult Refused(bool haveBackend) {
    return haveBackend ? probelib::TransferResult::Failed : probelib::TransferResult::NoDevice;
}

const char* StatusName(probelib::TransferStatus status, uint32_t asked, uint32_t done, bool write) {
    using probelib::TransferStatus;
    switch (status) {
        case TransferStatus::Done:
            return write && done < asked ? "short" : (!write && done == 0 ? "empty" : "ok");
        case TransferStatus::TimedOut:
            return "timeout";
        case TransferStatus::Stalled:
            return "stall";
        case TransferStatus::NoDevice:
            return "no-device";
        case TransferStatus::Closed:
            return "closed";
        case TransferStatus::Error:
            break;
    }
    return "error";
}

// The wire trace: one line per transfer, written as it happens, so a run that
// hangs or crashes still leaves every transfer before it.
class Trace {
  public:
    int Start(const std::string& path, std::string* error, bool chinese = false) {
        std::lock_guard lock(m_mutex);
        StopLocked();
        // A FIFO or device there is someone else's: it is neither waited for
        // nor replaced.
        // The front end has asked already, in its language; this answers a change since.
        if (std::string problem = probelib::TraceTargetProblem(path, false); !problem.empty()) {
            if (error) *error = problem;
            return 0;
        }
        // A file of its own beside the name, renamed over it once its first
        // line is written: nothing at that name (a link included) is written
        // through, and a trace that cannot even begin replaces nothing.
        std::string temp = path + ".XXXXXX";
        posix_io::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
        const bool created = fd.Valid();
        if (fd) m_file = ::fdopen(fd.Get(), "w");
        if (m_file != nullptr) fd.Release();  // the stream owns it now
        bool ok = m_file != nullptr &&
                  std::fputs("# microseconds pipe direction requested actual outcome bytes\n",
                             m_file) >= 0 &&
                  std::fflush(m_file) == 0 && ::rename(temp.c_str(), path.c_str()) == 0;
        if (!ok) {
            const int saved = errno;
            if (m_file != nullptr) std::fclose(m_file);
            m_file = nullptr;
            if (created) ::unlink(temp.c_str());
            if (error) *error = Cannot(path, chinese) + posix_io::ErrorText(saved);
            return 0;
        }
        m_path = path;
        m_chinese = chinese;
        m_start = std::chrono::steady_clock::now();
        m_on.store(true, std::memory_order_release);
        return 1;
    }

    void Stop() {
        std::lock_guard lock(m_mutex);
        StopLocked();
    }

    bool On() const { return m_on.load(std::memory_order_acquire); }

    // Why a line of the trace could not be written, naming the file; empty
    // while every line got there. Kept after Stop().
    std::string Failure() {
        std::lock_guard lock(m_mutex);
        return m_failure;
    }

    void Record(bool write, uint32_t pipe, uint32_t asked, uint32_t done,
                probelib::TransferStatus status, const uint8_t* bytes, uint32_t shown) {
        static constexpr char kHex[] = "0123456789abcdef";
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(m_mutex);
        if (m_file == nullptr) return;
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(now - m_start).count();
        std::fprintf(m_file, "%lld %u %s %u %u %s", static_cast<long long>(us), pipe,
                     write ? "out" : "in", asked, done, StatusName(status, asked, done, write));
        for (uint32_t i = 0; i < shown; ++i) {
            const char pair[3] = {' ', kHex[bytes[i] >> 4], kHex[bytes[i] & 15]};
            std::fwrite(pair, 1, sizeof pair, m_file);
        }
        std::fputc('\n', m_file);
        // A trace with lines missing misleads whoever reads it: the first
        // line that does not get there ends it, and the run is told.
        if (std::fflush(m_file) != 0 || std::ferror(m_file)) FailLocked(errno);
    }

    // A comment line ("# text") between the transfers.
    void Note(const std::string& text) {
        std::lock_guard lock(m_mutex);
        if (m_file == nullptr) return;
        std::fprintf(m_file, "# %s\n", text.c_str());
        std::fflush(m_file);
    }

  private:
    void FailLocked(int why) {
        if (m_failure.empty()) m_failure = Cannot(m_path, m_chinese) + posix_io::ErrorText(why);
        m_on.store(false, std::memory_order_release);
        std::fclose(m_file);
        m_file = nullptr;
    }

    void StopLocked() {
        m_on.store(false, std::memory_order_release);
        if (m_file != nullptr && std::fclose(m_file) != 0 && m_failure.empty())
            m_failure = Cannot(m_path, m_chinese) + posix_io::ErrorText(errno);
        m_file = nullptr;
    }

    std::mutex m_mutex;
    std::atomic<bool> m_on{false};
    std::FILE* m_file = nullptr;
    std::string m_path;
    bool m_chinese = false;
    std::string m_failure;
    std::chrono::steady_clock::time_point m_start;
};

Trace& TheTrace() {
    static Trace trace;
    return trace;
}

}  // namespace

int32_t CH375OpenDevice(uint32_t index) {
    auto backend = CurrentBackend();
    const int32_t handle = backend ? backend->Open(index) : -1;
    if (handle != -1 && TheTrace().On())
        if (const std::string note = backend->OpenNote(); !note.empty()) TheTrace().Note(note);
    return handle;
}

void CH375CloseDevice(uint32_t index) {
    if (auto backend = CurrentBackend()) backend->Close(index);
}

int CH375WriteEndP(uint32_t index, uint32_t pipe, void* buffer, uint32_t* length) {
    t_lastTransfer = probelib::TransferResult::Failed;
    if (length == nullptr) return 0;
    auto backend = CurrentBackend();
    if (!backend || !ValidPipe(pipe) || (buffer == nullptr && *length != 0)) {
        t_lastTransfer = Refused(backend != nullptr);
        *length = 0;
        return 0;
    }
    std::span<const uint8_t> data(static_cast<const uint8_t*>(buffer), buffer ? *length : 0);
    uint32_t done = 0;
    const probelib::TransferStatus status = backend->Write(index, pipe, data, &done);
    if (TheTrace().On())
        TheTrace().Record(true, pipe, *length, done, status, data.data(),
                          static_cast<uint32_t>(data.size()));
    *length = done;
    t_lastTransfer = ResultOf(status, done == data.size());
    return t_lastTransfer == probelib::TransferResult::Done ? 1 : 0;
}

int CH375ReadEndP(uint32_t index, uint32_t pipe, void* buffer, uint32_t* length) {
    t_lastTransfer = probelib::TransferResult::Failed;
    if (length == nullptr) return 0;
    auto backend = CurrentBackend();
    if (!backend || !ValidPipe(pipe) || buffer == nullptr) {
        t_lastTransfer = Refused(backend != nullptr);
        *length = 0;
        return 0;
    }
    std::span<uint8_t> out(static_cast<uint8_t*>(buffer), *length);
    uint32_t done = 0;
    const probelib::TransferStatus status = backend->Read(index, pipe, out, &done);
    if (TheTrace().On()) TheTrace().Record(false, pipe, *length, done, status, out.data(), done);
    *length = done;
    t_lastTransfer = ResultOf(status, done != 0);
    return t_lastTransfer == probelib::TransferResult::Done ? 1 : 0;
}

int CH375SetDeviceNotify(uint32_t index, const char* /*deviceId*/, CH375NotifyRoutine routine) {
    if (index != 0) return 0;
    TheNotifier().SetRoutine(routine);
    return 1;
}

namespace probelib {

namespace {
// One to four hex digits, nothing else.
bool ParseHex16(std::string_view text, uint16_t* out) {
    if (text.empty() || text.size() > 4) return false;
    uint16_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = static_cast<uint16_t>(value * 16 + digit);
    }
    *out = value;
    return true;
}
}  // namespace

int ParseUsbId(std::string_view text, UsbId* out) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return 0;
    UsbId id;
    if (!ParseHex16(text.substr(0, colon), &id.vendor) ||
        !ParseHex16(text.substr(colon + 1), &id.product))
        return 0;
    *out = id;
    return 1;
}

std::string FormatUsbId(UsbId id) {
    char text[10];
    std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
    return text;
}

TransferResult LastTransfer() { return t_lastTransfer; }

namespace {

// The backend a choice names; null with the problem and its reason.
std::shared_ptr<Backend> MakeBackend(const BackendChoice& choice, ConfigureProblem* problem,
                                     std::string* error) {
    std::string why;
    std::shared_ptr<Backend> backend;
    if (choice.backend == "sim") {
        backend = sim::MakeSimBackend(choice.simFaults, choice.simState, &why, choice.probe,
                                      choice.chinese);
        *problem = ConfigureProblem::Choice;
    } else if (choice.backend == "usb") {
        UsbOptions options;
        options.extraIds = choice.extraIds;
        options.probe = choice.probe;
        options.readTimeoutMs = choice.readTimeoutMs;
        options.scanForPlugs = choice.scanForPlugs;
        backend = usb::MakeUsbBackend(options, &why);
        *problem = ConfigureProblem::NoUsb;
    } else {
        why = "unknown probe backend \"" + choice.backend + "\" (use sim or usb)";
        *problem = ConfigureProblem::Choice;
    }
    if (!backend && error) *error = why;
    return backend;
}

}  // namespace

ConfigureProblem Configure(const BackendChoice& choice, std::string* error) {
    if (choice.trace.empty())
        TheTrace().Stop();
    else if (TheTrace().Start(choice.trace, error, choice.chinese) == 0)
        return ConfigureProblem::Trace;
    ConfigureProblem problem = ConfigureProblem::None;
    std::shared_ptr<Backend> backend = MakeBackend(choice, &problem, error);
    if (!backend) return problem;
    backend->SetEventSink([](uint32_t event) { TheNotifier().Post(event); });
    // The backend replaced is released outside the lock: its threads may
    // take a moment to stop.
    std::shared_ptr<Backend> old;
    std::lock_guard lock(g_backendMutex);
    if (g_shutDown) {
        if (error) *error = "the probe library has been shut down";
        return ConfigureProblem::ShutDown;
    }
    old = std::exchange(g_backend, std::move(backend));
    return ConfigureProblem::None;
}

int ListProbes(const UsbOptions& options, std::vector<ProbeInfo>* out, std::string* error) {
    return usb::ListUsbProbes(options, out, error);
}

int ListSimProbes(std::string_view simFaults, std::vector<ProbeInfo>* out, std::string* error) {
    return sim::ListSimProbes(simFaults, out, error);
}

int LastOpenedProbe(ProbeInfo* out) {
    auto backend = CurrentBackend();
    return backend ? backend->LastOpenedProbe(out) : 0;
}

void JobEnded() {
    if (auto backend = CurrentBackend()) backend->JobEnded();
}

OpenProblem LastOpenProblem() {
    auto backend = CurrentBackend();
    return backend ? backend->LastOpenProblem() : OpenProblem::None;
}

int StartTrace(const std::string& path, std::string* error) {
    return TheTrace().Start(path, error);
}

void StopTrace() { TheTrace().Stop(); }

std::string TraceTargetProblem(const std::string& path, bool chinese) {
    const std::string cannot = Cannot(path, chinese);
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return cannot + (chinese ? "不是普通文件" : "not a regular file");
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    if (::access(folder.c_str(), W_OK) != 0) return cannot + posix_io::ErrorText(errno);
    return {};
}

std::string WriteFailure() {
    if (std::string trace = TheTrace().Failure(); !trace.empty()) return trace;
    if (auto backend = CurrentBackend()) return backend->WriteFailure();
    std::lock_guard lock(g_backendMutex);
    return g_releasedWriteFailure;
}

void WaitForNotifications() { TheNotifier().WaitIdle(); }

void Shutdown() {
    TheNotifier().Stop();
    TheTrace().Stop();
    std::shared_ptr<Backend> old;
    {
        std::lock_guard lock(g_backendMutex);
        g_shutDown = true;
        old = std::move(g_backend);
    }
    if (old) {
        std::string failure = old->WriteFailure();
        std::lock_guard lock(g_backendMutex);
        g_releasedWriteFailure = std::move(failure);
    }
}

}  // namespace probelib
