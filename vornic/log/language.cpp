// The process-wide language flag.
#include "language.h"

std::atomic<int> g_useChinese{0};
