// The shared command line on CLI11: the common options, their checks, and the
// settings that keep the documented spellings.
#include "vornic/options/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>
#include <utility>

#include "vornic/log/language.h"

namespace vornic_options {

struct Parser::Impl {
    // A front end's own option, kept until the app is built.
    struct Added {
        enum class Kind { Flag, Value, OptionalValue } kind;
        std::string name;
        bool* flag;
        std::string* text;
    };
    // Built only when an argument could be an option: setting up CLI11 with
    // every option costs more than the whole of a conversion.
    std::optional<CLI::App> app;
    std::vector<Added> added;
    std::set<std::string> valueOptions;  // "--name" of every option that takes a value
    std::set<std::string> flagOptions;   // "-n" and "--name" of every option that takes none
    CommonOptions parsed;
    std::string lang;  // empty: not given, the locale decides
    std::vector<std::string> usbIds;
    std::vector<std::pair<std::string, bool*>> optionalValues;  // name, *given

    void Value(const std::string& name, std::string* target) {
        // The last one given wins, as with every option here.
        app->add_option(name, *target)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        valueOptions.insert(name);
    }

    // A flag never takes a value: CLI11 would read "--dry-run=0" as the flag
    // turned off, and a misspelt safety flag must not mean its opposite.
    void Flag(const std::string& names, bool* target) {
        app->add_flag(names, *target);
        for (size_t start = 0; start <= names.size();) {
            const size_t comma = std::min(names.find(',', start), names.size());
            flagOptions.insert(names.substr(start, comma - start));
            start = comma + 1;
        }
    }

    void Build() {
        app.emplace();
        app->set_help_flag();  // our own usage text, printed by the front end
        Flag("-h,--help", &parsed.help);
        Flag("-V,--version", &parsed.version);
        // A flag that may carry a value: "--simulate" alone never takes the next
        // argument as its faults.
        app->add_flag("--simulate{}", parsed.simFaults);
        Value("--sim-state", &parsed.simState);
        Value("--probe", &parsed.probe);
        Value("--lang", &lang);
        Value("--trace", &parsed.trace);
        app->add_option("--usb-id", usbIds)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        valueOptions.insert("--usb-id");
        for (const Added& option : added) {
            if (option.kind == Added::Kind::Flag) Flag(option.name, option.flag);
            if (option.kind == Added::Kind::Value) Value(option.name, option.text);
            if (option.kind == Added::Kind::OptionalValue)
                app->add_flag(option.name + "{}", *option.text);
        }
        // The other arguments are taken from what CLI11 leaves, word for word: a
        // positional option of its own would read "[a,b]" as a list of two.
        app->allow_extras();
    }

    // Whether the option `name` was given.
    bool Given(const std::string& name) const { return app && app->count(name) > 0; }
};

Parser::Parser() : m_impl(std::make_unique<Impl>()) {}

Parser::~Parser() = default;

void Parser::AddFlag(const std::string& name, bool* target) {
    m_impl->added.push_back({Impl::Added::Kind::Flag, name, target, nullptr});
}

void Parser::AddValue(const std::string& name, std::string* target) {
    m_impl->added.push_back({Impl::Added::Kind::Value, name, nullptr, target});
}

void Parser::AddOptionalValue(const std::string& name, bool* given, std::string* value) {
    m_impl->added.push_back({Impl::Added::Kind::OptionalValue, name, nullptr, value});
    m_impl->optionalValues.emplace_back(name, given);
}

int Parser::Parse(std::span<const std::string_view> args, CommonOptions* out, std::string* error) {
    Impl& p = *m_impl;
    std::vector<std::string> rest(args.begin(), args.end());
    if (std::any_of(args.begin(), args.end(),
                    [](std::string_view arg) { return arg.size() > 1 && arg[0] == '-'; })) {
        p.Build();
        // CLI11 reads "--name=" as a name still waiting for its value and would
        // take the next argument: an empty value is refused here instead, as is
        // a value option with nothing after it and a flag given a value.
        for (size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
            const std::string_view arg = args[i];
            const size_t equals = arg.find('=');
            const std::string name(arg.substr(0, equals));
            const bool last = i + 1 == args.size();
            if (p.valueOptions.count(name) &&
                (equals + 1 == arg.size() || (last && equals == arg.npos))) {
                *error = std::string(arg) + Tr(" 需要一个值", " needs a value");
                return 0;
            }
            if (equals != arg.npos && p.flagOptions.count(name)) {
                *error = name + Tr(" 不接受值", " takes no value");
                return 0;
            }
        }
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        try {
            p.app->parse(reversed);
        } catch (const CLI::ParseError& e) {
            *error = e.what();
            return 0;
        }
        rest = p.app->remaining();
    }
    CommonOptions result = std::move(p.parsed);
    result.simulate = p.Given("--simulate");
    for (const auto& [name, given] : p.optionalValues) *given = p.Given(name);
    bool optionsEnded = false;
    for (std::string& arg : rest) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            *error = Tr("未知选项 ", "unknown option ") + arg;
            return 0;
        } else {
            result.arguments.push_back(std::move(arg));
        }
    }
    if (p.Given("--lang") && p.lang != "zh" && p.lang != "en") {
        *error = Tr("--lang 只能是 zh 或 en", "--lang takes zh or en");
        return 0;
    }
    // --lang, checked above, else the locale: as the complaints were worded.
    result.useChinese = ChineseForArguments(args);
    for (const std::string& text : p.usbIds) {
        probelib::UsbId id;
        if (probelib::ParseUsbId(text, &id) == 0) {
            *error = Tr("--usb-id 需要一对十六进制 ID：--usb-id=VID:PID",
                        "--usb-id takes a hex id pair: --usb-id=VID:PID");
            return 0;
        }
        result.usbIds.push_back(id);
    }
    *out = std::move(result);
    return 1;
}

bool ChineseForLocale(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value == nullptr || value[0] == '\0') continue;
        const std::string_view locale = value;
        if (locale == "C" || locale == "POSIX" || locale.starts_with("C.")) return true;
        return locale.starts_with("zh");
    }
    return true;
}

bool ChineseForArguments(std::span<const std::string_view> args) {
    std::string_view lang;
    for (size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        if (args[i].starts_with("--lang="))
            lang = args[i].substr(7);
        else if (args[i] == "--lang" && i + 1 < args.size() && !args[i + 1].starts_with('-'))
            lang = args[++i];
    }
    if (lang == "zh" || lang == "en") return lang == "zh";
    return ChineseForLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

std::string VersionText(std::string_view program) {
    return std::string(program) + " " + VORNIC_VERSION;
}

std::string Version() { return VORNIC_VERSION; }

probelib::BackendChoice BackendChoiceOf(const CommonOptions& options) {
    probelib::BackendChoice choice;
    choice.backend = options.simulate ? "sim" : "usb";
    choice.simFaults = options.simFaults;
    choice.simState = options.simState;
    choice.probe = options.probe;
    choice.extraIds = options.usbIds;
    choice.trace = options.trace;
    choice.chinese = options.useChinese;
    return choice;
}

}  // namespace vornic_options
