// Entry point of trasmo, the Keil project converter.
#include "driver.h"

int main(int argc, char** argv) { return RunTrasmo(argc, argv); }
