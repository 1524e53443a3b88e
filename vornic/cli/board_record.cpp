// Board records as JSON Lines (nlohmann-json), their SHA-256 (nettle), and the
// append-and-sync of the report file.
#include "vornic/cli/board_record.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <nlohmann/json.hpp>

#include "vornic/log/language.h"
#include "vornic/options/options.h"

namespace vornic_cli {

namespace {

using Json = nlohmann::ordered_json;

// Names and serials are bytes; JSON text is UTF-8, so a byte that is not
// part of valid UTF-8 becomes U+FFFD rather than failing the record.
std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ProbeJson(bool known, const probelib::ProbeInfo& probe) {
    Json json = Json::object();
    json["serial"] = known && !probe.serial.empty() ? Json(probe.serial) : Json(nullptr);
    json["busPort"] = known && !probe.busPort.empty() ? Json(probe.busPort) : Json(nullptr);
    return json;
}

}  // namespace

std::string StatusJson(bool readProtected, bool probeKnown, const probelib::ProbeInfo& probe) {
    Json json = Json::object();
    json["readProtected"] = readProtected;
    json["probe"] = ProbeJson(probeKnown, probe);
    return Dump(json);
}

namespace {

// The text of a kind from its record name: "refused" -> "target refused".
std::string KindTextOf(std::string_view name) {
    for (Kind kind : {Kind::Transport, Kind::Refused, Kind::BadInput, Kind::System})
        if (name == KindName(kind)) return KindText(kind);
    return std::string(name);
}

}  // namespace

std::string UtcTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

namespace {

// nettle's SHA-256, opened on the first digest: most runs take none (a
// conversion, a device command), and linking it would have every run map it
// and bind its several hundred symbols at start. The package names it in its
// Depends itself (packaging/CMakeLists.txt).
struct Sha256Functions {
    decltype(&nettle_sha256_init) init = nullptr;
    decltype(&nettle_sha256_update) update = nullptr;
    decltype(&nettle_sha256_digest) digest = nullptr;
};

const Sha256Functions& Sha256() {
    static const Sha256Functions functions = [] {
        Sha256Functions f;
        void* nettle = ::dlopen(VORNIC_NETTLE_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (nettle == nullptr) return f;
        f.init = reinterpret_cast<decltype(f.init)>(::dlsym(nettle, "nettle_sha256_init"));
        f.update = reinterpret_cast<decltype(f.update)>(::dlsym(nettle, "nettle_sha256_update"));
        f.digest = reinterpret_cast<decltype(f.digest)>(::dlsym(nettle, "nettle_sha256_digest"));
        return f;
    }();
    return functions;
}

}  // namespace

std::string Sha256Hex(std::span<const uint8_t> bytes) {
    const Sha256Functions& sha256 = Sha256();
    if (!sha256.init || !sha256.update || !sha256.digest) return {};
    sha256_ctx context;
    sha256.init(&context);
    sha256.update(&context, bytes.size(), bytes.data());
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256.digest(&context, sizeof digest, digest);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 15]);
    }
    return text;
}

std::string BoardRecord(const Report& report, const BoardContext& context, bool unfinished) {
    Json steps = Json::array();
    for (const StepOutcome& s : report.steps) {
        Json step = {{"step", StepName(s.step)}, {"ok", s.outcome.Ok()}};
        if (!s.outcome.Ok()) step["kind"] = KindName(s.outcome.kind());
        steps.push_back(std::move(step));
    }
    char address[16];
    std::snprintf(address, sizeof address, "0x%08X", context.address);
    Json record = Json::object();
    record["time"] = UtcTimestamp(context.started);
    record["probe"] = ProbeJson(context.probeKnown, context.probe);
    record["file"] = context.file;
    record["imageBytes"] = context.image.size();
    // Null when there is no image or no digest library to hash it with.
    const std::string sha256 = context.image.empty() ? std::string() : Sha256Hex(context.image);
    record["imageSha256"] = sha256.empty() ? Json(nullptr) : Json(sha256);
    record["address"] = address;
    record["steps"] = std::move(steps);
    record["outcome"] = report.Ok() && !unfinished && context.lost.empty() ? "pass" : "fail";
    if (!context.lost.empty()) record["writeFailure"] = context.lost;
    if (unfinished) record["unfinished"] = true;
    if (context.dryRun) record["dryRun"] = true;
    if (report.firstDifference) {
        std::snprintf(address, sizeof address, "0x%08X", *report.firstDifference);
        record["firstDifference"] = address;
    }
    record["bytesSent"] = report.bytesSent;
    record["seconds"] = report.seconds;
    record["tool"] = {{"name", "vornic-cli"}, {"version", vornic_options::Version()}};
    return Dump(record);
}

int AdoptChildRecord(std::string_view text, const std::string& file,
                     const probelib::ProbeInfo& probe, std::string* line, RecordSummary* summary) {
    Json record = Json::parse(text.begin(), text.end(), nullptr, false);
    if (!record.is_object()) return 0;
    const auto outcome = record.find("outcome");
    const auto steps = record.find("steps");
    const auto bytes = record.find("bytesSent");
    const auto seconds = record.find("seconds");
    if (outcome == record.end() || !outcome->is_string() || steps == record.end() ||
        !steps->is_array() || bytes == record.end() || !bytes->is_number_unsigned() ||
        seconds == record.end() || !seconds->is_number())
        return 0;
    RecordSummary read;
    const std::string& word = outcome->get_ref<const std::string&>();
    if (word != "pass" && word != "fail") return 0;
    read.pass = word == "pass";
    for (const Json& step : *steps) {
        const auto name = step.find("step");
        const auto ok = step.find("ok");
        if (!step.is_object() || name == step.end() || !name->is_string() || ok == step.end() ||
            !ok->is_boolean())
            return 0;
        if (ok->get<bool>() || !read.failedStep.empty()) continue;
        const auto kind = step.find("kind");
        if (kind == step.end() || !kind->is_string()) return 0;
        read.failedStep = name->get<std::string>();
        read.failedKind = KindTextOf(kind->get_ref<const std::string&>());
    }
    if (const auto lost = record.find("writeFailure"); lost != record.end()) {
        if (!lost->is_string()) return 0;
        read.lost = lost->get<std::string>();
    }
    if (read.pass != (read.failedStep.empty() && read.lost.empty()) ||
        bytes->get<uint64_t>() > std::numeric_limits<uint32_t>::max())
        return 0;
    read.bytesSent = static_cast<uint32_t>(bytes->get<uint64_t>());
    read.seconds = seconds->get<double>();
    record["probe"] = ProbeJson(true, probe);
    record["file"] = file;
    *line = Dump(record);
    *summary = std::move(read);
    return 1;
}

int RecordFile::Open(const std::string& path, std::string* error) {
    // Opened without waiting: a FIFO without a reader is refused, not waited for.
    posix_io::UniqueFd fd(posix_io::Open(
        path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644));
    struct stat info {};
    const char* problem = !fd.Valid() || ::fstat(fd.Get(), &info) != 0 ? std::strerror(errno)
                          : !S_ISREG(info.st_mode) ? Tr("不是普通文件", "not a regular file")
                          : ::fcntl(fd.Get(), F_SETFL, O_APPEND) != 0 ? std::strerror(errno)
                                                                      : nullptr;
    if (problem != nullptr) {
        if (error)
            *error =
                Tr("无法写入报告 ", "cannot write the report ") + path + Tr("：", ": ") + problem;
        return 0;
    }
    m_fd = std::move(fd);
    m_name = Tr("报告 ", "the report ") + path;
    return 1;
}

void RecordFile::Adopt(int fd) {
    m_fd.Reset(fd);
    m_name = Tr("记录描述符 ", "the record descriptor ") + std::to_string(fd);
}

int RecordFile::Append(std::string_view record, std::string* error) {
    std::string text(record);
    text.push_back('\n');
    if (!posix_io::WriteAll(m_fd.Get(), text.data(), text.size())) {
        if (error)
            *error =
                Tr("无法写入", "cannot write ") + m_name + Tr("：", ": ") + std::strerror(errno);
        return 0;
    }
    struct stat info {};
    if (::fstat(m_fd.Get(), &info) == 0 && S_ISREG(info.st_mode) && ::fsync(m_fd.Get()) != 0) {
        if (error)
            *error =
                Tr("无法同步", "cannot sync ") + m_name + Tr("：", ": ") + std::strerror(errno);
        return 0;
    }
    return 1;
}

}  // namespace vornic_cli
