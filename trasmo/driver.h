// The converter's main steps: logs, tables, arguments, engine, result word.
#pragma once

// Runs one conversion as the IDE starts it: argv[1] project folder, argv[2] resource
// folder. Writes nothing to standard output; returns 0 on every path.
int RunTrasmo(int argc, char** argv);
