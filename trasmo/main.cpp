// Entry point of trasmo, the Keil project converter.
#include "trasmo/driver.h"

int main(int argc, char** argv) { return trasmo::RunTrasmo(argc, argv); }
