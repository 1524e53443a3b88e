// vornic-cli's command line: the options both front ends share, the flash
// step options and the production line's, checked against the command.
#include "vornic/cli/cli_parse.h"

#include <cstdio>
#include <string>
#include <vector>

#include "vornic/cli/cli.h"

namespace vornic_cli {

const char* const kUsage =
    "usage: vornic-cli [--simulate[=FAULTS]] [--sim-state=FILE] [--usb-id=VID:PID]...\n"
    "                  [--probe=SERIAL|BUS-PORT] [--lang=zh|en] [--quiet] [--trace=FILE] COMMAND\n"
    "  flash FILE [--address=0x08000000|0x20000000] [--no-erase] [--no-programme]\n"
    "             [--no-verify] [--no-reset] [--if-changed]\n"
    "  verify FILE [--address=0x08000000|0x20000000]\n"
    "  status | protect | unprotect | reset\n"
    "  convert FILE         to BIN only, written beside FILE\n"
    "  list                 the attached probes: index, bus-port, serial, USB id\n"
    "  --help | --help-faults | --version\n"
    "FAULTS: FAULT[,FAULT...], each NAME or NAME:VALUE, optionally @SIMk (for example\n"
    "protected,no-reply:ReadProtect,probes:2); --help-faults lists every fault and its range.\n"
    "FILE: Intel HEX (a name holding .hex), a RISC-V ELF executable (a name ending in .elf,\n"
    "or the ELF magic) read as objcopy -O ihex reads it, or a raw image (a name holding .bin).\n"
    "Production line (flash and verify): --probe=all runs one vornic-cli per attached probe\n"
    "at once and ends with a table; --repeat[=N] flashes one board after another (the next\n"
    "when a probe arrives or on Enter; q and Enter stops); --report=FILE appends one JSON\n"
    "line per board.\n"
    "Options may come before or after the command; -- ends them. Without --simulate the\n"
    "probe is a real one on USB (id 1a86:8010, and any --usb-id); --probe picks one by\n"
    "serial or bus-port when several are attached. --trace writes every USB transfer to\n"
    "FILE. Exit status: 0 when every step that ran succeeded, 1 when one failed (the\n"
    "summary on standard error says which and why), 2 for bad usage.\n";

int Usage(const std::string& message) {
    std::fprintf(stderr, "vornic-cli: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

std::string Parse(std::span<const std::string_view> args, Options* out) {
    Options& o = *out;
    vornic_options::Parser parser;
    bool noErase = false, noProgramme = false, noVerify = false, noReset = false;
    std::string address;
    parser.AddFlag("--quiet", &o.quiet);
    parser.AddFlag("--if-changed", &o.ifChanged);
    parser.AddFlag("--help-faults", &o.helpFaults);
    parser.AddFlag("--no-erase", &noErase);
    parser.AddFlag("--no-programme", &noProgramme);
    parser.AddFlag("--no-verify", &noVerify);
    parser.AddFlag("--no-reset", &noReset);
    parser.AddValue("--address", &address);
    o.line.AddTo(parser);
    std::string error;
    if (parser.Parse(args, &o.common, &error) == 0) return error;
    if (o.common.help || o.common.version || o.helpFaults) return {};
    o.erase = !noErase, o.programme = !noProgramme, o.verify = !noVerify, o.reset = !noReset;
    const bool flashOptions = o.ifChanged || noErase || noProgramme || noVerify || noReset;
    if (address == "0x20000000")
        o.addressIndex = 1;
    else if (!address.empty() && address != "0x08000000")
        return "--address takes 0x08000000 or 0x20000000";

    const std::vector<std::string>& positional = o.common.arguments;
    if (positional.empty()) return "no command given";
    o.command = positional[0];
    const bool takesFile = o.command == "flash" || o.command == "verify" || o.command == "convert";
    const bool plain = o.command == "status" || o.command == "protect" ||
                       o.command == "unprotect" || o.command == "reset" || o.command == "list";
    if (!takesFile && !plain) return "unknown command " + o.command;
    if (takesFile) {
        if (positional.size() != 2) return o.command + " takes one FILE";
        o.file = positional[1];
    } else if (positional.size() != 1) {
        return o.command + " takes no argument";
    }
    if (flashOptions && o.command != "flash")
        return o.ifChanged ? "--if-changed belongs to flash" : "--no-* options belong to flash";
    if (!address.empty() && o.command != "flash" && o.command != "verify")
        return "--address belongs to flash and verify";
    return o.line.Check(o.command, o.common.probe);
}

}  // namespace vornic_cli
