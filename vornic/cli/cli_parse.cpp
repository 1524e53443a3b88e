// vornic-cli's command line: the options both front ends share, the flash
// step options and the production line's, checked against the command.
#include "vornic/cli/cli_parse.h"

#include <cstdio>
#include <string>
#include <vector>

#include "vornic/cli/cli.h"
#include "vornic/log/language.h"

namespace vornic_cli {

const char* const kUsage =
    "usage: vornic-cli [--simulate[=FAULTS]] [--sim-state=FILE] [--usb-id=VID:PID]...\n"
    "                  [--probe=SERIAL|BUS-PORT] [--lang=zh|en] [-q|--quiet] [--trace=FILE]\n"
    "                  COMMAND\n"
    "  flash FILE [--address=0x08000000|0x20000000] [--erase|--no-erase] [--no-programme]\n"
    "             [--no-verify] [--no-reset] [--if-changed] [--dry-run]\n"
    "  verify FILE [--address=0x08000000|0x20000000] [--dry-run]\n"
    "  status [--json] | protect | unprotect | reset | erase\n"
    "  convert FILE         to BIN only, written beside FILE\n"
    "  list                 the attached probes: index, bus-port, serial, USB id\n"
    "  help [COMMAND] | COMMAND --help | -h, --help | --help-faults | -V, --version\n"
    "FAULTS: FAULT[,FAULT...], each NAME or NAME:VALUE, optionally @SIMk (for example\n"
    "protected,no-reply:ReadProtect,probes:2); --help-faults lists every fault and its range.\n"
    "FILE: Intel HEX (a name holding .hex), a RISC-V ELF executable (a name ending in .elf,\n"
    "or the ELF magic) read as objcopy -O ihex reads it, or a raw image (a name holding .bin).\n"
    "Production line (flash and verify): --probe=all runs one vornic-cli per attached probe\n"
    "at once and ends with a table; --repeat[=N] flashes one board after another (the next\n"
    "when a probe arrives or on Enter; q and Enter stops); --report=FILE appends one JSON\n"
    "line per board.\n"
    "Before anything is sent the file must convert and fit the memory at the start address\n"
    "(64 KiB of flash at 0x08000000, 20 KiB of SRAM at 0x20000000), and an ELF or HEX\n"
    "image must be linked there. At 0x20000000 the flash is not erased unless --erase is\n"
    "given. --dry-run does every check, reads the read protection and says what would be\n"
    "done, changing nothing. erase erases the whole flash.\n"
    "Options may come before or after the command; -- ends them. Without --simulate the\n"
    "probe is a real one on USB (id 1a86:8010, and any --usb-id); --probe picks one by\n"
    "serial or bus-port when several are attached. --trace writes every USB transfer to\n"
    "FILE. Without --lang the locale chooses (LC_ALL, LC_MESSAGES, LANG): Chinese for zh*\n"
    "and when none names a language (C, POSIX), else English. Exit status: 0 when every\n"
    "step that ran succeeded, 1 when one failed (the summary on standard error says which\n"
    "and why), 2 for bad usage.\n";

namespace {

// Each command's synopsis and what it does.
const struct {
    const char* name;
    const char* text;
} kCommandHelp[] = {
    {"flash",
     "usage: vornic-cli flash FILE [--address=0x08000000|0x20000000] [--erase|--no-erase]\n"
     "                  [--no-programme] [--no-verify] [--no-reset] [--if-changed]\n"
     "                  [--dry-run] [--probe=all] [--repeat[=N]] [--report=FILE]\n"
     "Converts FILE to BIN, erases all, programmes with verify and resets the target.\n"
     "  --no-erase, --no-programme, --no-verify, --no-reset  leave that step out\n"
     "  --erase        erase also at 0x20000000, where the flash is kept by default\n"
     "  --dry-run      make every check and say what would be done; change nothing\n"
     "  --if-changed   verify first; erase and programme only when the target differs\n"
     "  --address      start address: flash (0x08000000, default) or SRAM (0x20000000)\n"
     "  --probe=all    one vornic-cli per attached probe at once, then a table\n"
     "  --repeat[=N]   one board after another (the next when a probe arrives or on\n"
     "                 Enter; q and Enter stops), N boards at most\n"
     "  --report=FILE  append one JSON line per board\n"},
    {"verify",
     "usage: vornic-cli verify FILE [--address=0x08000000|0x20000000] [--dry-run]\n"
     "                  [--probe=all] [--repeat[=N]] [--report=FILE]\n"
     "Compares the target's memory with FILE; the options as for flash.\n"},
    {"status",
     "usage: vornic-cli status [--json]\n"
     "Queries the read protection. --json prints one JSON object on standard output\n"
     "(readProtected, and the probe's serial and busPort) and the log on standard error.\n"
     "The exit status says whether the query worked, not whether protection is on.\n"},
    {"protect", "usage: vornic-cli protect\nEnables the read protection, resets and queries it.\n"},
    {"unprotect",
     "usage: vornic-cli unprotect\nDisables the read protection, resets and queries it.\n"},
    {"reset", "usage: vornic-cli reset\nResets the target (soft reset).\n"},
    {"erase", "usage: vornic-cli erase\nErases the whole flash (erase-all); no file needed.\n"},
    {"convert",
     "usage: vornic-cli convert FILE\n"
     "Converts FILE (Intel HEX or ELF) to BIN, written beside FILE; no probe needed.\n"},
    {"list",
     "usage: vornic-cli list\n"
     "Lists the attached probes: index, bus-port, serial and USB id.\n"},
    {"help", "usage: vornic-cli help [COMMAND]\nPrints the usage, or one command's help.\n"},
};

}  // namespace

std::string HelpText(const std::string& command) {
    if (command.empty()) return kUsage;
    for (const auto& help : kCommandHelp)
        if (command == help.name)
            return std::string(help.text) + "The options every command takes: vornic-cli --help.\n";
    return {};
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "vornic-cli: %s\n%s\n", message.c_str(),
                 Tr("请运行 'vornic-cli --help' 查看用法。", "Try 'vornic-cli --help'."));
    return kExitUsage;
}

std::string Parse(std::span<const std::string_view> args, Options* out) {
    Options& o = *out;
    // Every complaint below is worded in the language of this command line.
    g_useChinese = vornic_options::ChineseForArguments(args) ? 1 : 0;
    vornic_options::Parser parser;
    bool noErase = false, noProgramme = false, noVerify = false, noReset = false;
    bool eraseGiven = false;
    std::string address;
    parser.AddFlag("-q,--quiet", &o.quiet);
    parser.AddFlag("--json", &o.json);
    parser.AddFlag("--if-changed", &o.ifChanged);
    parser.AddFlag("--erase", &eraseGiven);
    parser.AddFlag("--dry-run", &o.dryRun);
    parser.AddFlag("--help-faults", &o.helpFaults);
    parser.AddFlag("--no-erase", &noErase);
    parser.AddFlag("--no-programme", &noProgramme);
    parser.AddFlag("--no-verify", &noVerify);
    parser.AddFlag("--no-reset", &noReset);
    parser.AddValue("--address", &address);
    o.line.AddTo(parser);
    std::string error;
    if (parser.Parse(args, &o.common, &error) == 0) return error;
    if (o.common.version || o.helpFaults) return {};
    const std::vector<std::string>& positional = o.common.arguments;
    // "help [COMMAND]" and "COMMAND --help" both ask for the help of COMMAND.
    const bool helpCommand = !positional.empty() && positional[0] == "help";
    if (o.common.help || helpCommand) {
        if (positional.size() > (helpCommand ? 2u : 1u))
            return Tr("help 只接受一个 COMMAND", "help takes one COMMAND");
        o.common.help = true;
        o.helpFor = positional.size() > (helpCommand ? 1u : 0u) ? positional.back() : "";
        if (HelpText(o.helpFor).empty()) return Tr("未知命令 ", "unknown command ") + o.helpFor;
        return {};
    }
    o.erase = !noErase, o.programme = !noProgramme, o.verify = !noVerify, o.reset = !noReset;
    const bool flashOptions =
        o.ifChanged || noErase || eraseGiven || noProgramme || noVerify || noReset;
    if (address == "0x20000000")
        o.addressIndex = 1;
    else if (!address.empty() && address != "0x08000000")
        return Tr("--address 只能是 0x08000000 或 0x20000000",
                  "--address takes 0x08000000 or 0x20000000");
    if (eraseGiven && noErase)
        return Tr("--erase 与 --no-erase 不能同时使用",
                  "--erase and --no-erase do not go together");
    // An image for SRAM has no business with the flash's content.
    if (o.addressIndex == 1 && !eraseGiven) o.erase = false;

    if (positional.empty()) return Tr("没有给出命令", "no command given");
    o.command = positional[0];
    const bool takesFile = o.command == "flash" || o.command == "verify" || o.command == "convert";
    const bool plain = o.command == "status" || o.command == "protect" ||
                       o.command == "unprotect" || o.command == "reset" || o.command == "list" ||
                       o.command == "erase";
    if (!takesFile && !plain) return Tr("未知命令 ", "unknown command ") + o.command;
    if (takesFile) {
        if (positional.size() != 2)
            return o.command + Tr(" 需要且只需要一个 FILE", " takes one FILE");
        o.file = positional[1];
    } else if (positional.size() != 1) {
        return o.command + Tr(" 不接受参数", " takes no argument");
    }
    if (flashOptions && o.command != "flash")
        return o.ifChanged ? Tr("--if-changed 只用于 flash", "--if-changed belongs to flash")
                           : Tr("--no-* 选项只用于 flash", "--no-* options belong to flash");
    if (o.dryRun && o.command != "flash" && o.command != "verify")
        return Tr("--dry-run 只用于 flash 和 verify", "--dry-run belongs to flash and verify");
    if (o.json && o.command != "status")
        return Tr("--json 只用于 status", "--json belongs to status");
    if (!address.empty() && o.command != "flash" && o.command != "verify")
        return Tr("--address 只用于 flash 和 verify", "--address belongs to flash and verify");
    return o.line.Check(o.command, o.common.probe);
}

}  // namespace vornic_cli
