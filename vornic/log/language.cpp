// The process-wide language flag.
#include "vornic/log/language.h"

std::atomic<int> g_useChinese{0};
