// The converter's main steps: logs, tables, arguments, engine, result word.
#pragma once

#include <string>

namespace trasmo {

// Runs one conversion as the IDE starts it: argv[1] project folder, argv[2] resource
// folder. Writes nothing to standard output; returns 0 on every path.
int RunTrasmo(int argc, char** argv);

// Whether the logs and keil.ini may be written into the program folder: the user may write
// there and it is not below /usr. Otherwise they go to the user's state folder.
bool OutputsMayGoIn(const std::string& folder);

}  // namespace trasmo
