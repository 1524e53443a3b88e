// The command line both front ends share: the common options and the one
// parser behind vornic and vornic-cli (CLI11). Options take their value as
// --opt=VALUE (or --opt VALUE), may come before or after the other arguments,
// the last of a repeated option wins (--usb-id adds up), and "--" ends them.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/probelib/probe_types.h"
#include "platform/probelib/probelib.h"

namespace vornic_options {

struct CommonOptions {
    bool simulate = false;                // --simulate[=FAULTS]
    std::string simFaults;                // the FAULTS
    std::string simState;                 // --sim-state=FILE
    std::vector<probelib::UsbId> usbIds;  // --usb-id=VID:PID, repeatable
    std::string probe;                    // --probe=SERIAL|BUS-PORT
    bool useChinese = true;               // --lang=zh or --lang=en; else from the locale
    std::string trace;                    // --trace=FILE
    bool help = false;                    // -h, --help
    bool version = false;                 // -V, --version
    std::vector<std::string> arguments;   // the arguments that are not options, in order
};

class Parser {
  public:
    Parser();
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // A front end's own options: a flag sets *target to true; a value option
    // takes a non-empty VALUE into *target.
    void AddFlag(const std::string& name, bool* target);
    void AddValue(const std::string& name, std::string* target);
    // An option with or without a value: *given tells whether it came,
    // *value holds its VALUE ("" without one). "--name VALUE" is not read
    // as a value.
    void AddOptionalValue(const std::string& name, bool* given, std::string* value);

    // Parses the arguments after the program name. 1, or 0 with the complaint,
    // worded in the language of the texts (g_useChinese; CLI11's own stay English).
    int Parse(std::span<const std::string_view> args, CommonOptions* out, std::string* error);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The language without --lang: the first of LC_ALL, LC_MESSAGES and LANG that is set and
// not empty names it. zh... is Chinese, any other language English; C, POSIX, C.UTF-8 (no
// language) or none at all keep the Chinese default. Null stands for unset.
bool ChineseForLocale(const char* lcAll, const char* lcMessages, const char* lang);

// The language of a command line's texts, its complaints included, before it is
// parsed: the last --lang=zh|en before "--", else the locale's.
bool ChineseForArguments(std::span<const std::string_view> args);

// "PROGRAM VERSION" with the version of this build.
std::string VersionText(std::string_view program);
// The version of this build alone ("1.0.0").
std::string Version();

// What the probe library is configured with (probelib::Configure): the same
// for both front ends.
probelib::BackendChoice BackendChoiceOf(const CommonOptions& options);

}  // namespace vornic_options
