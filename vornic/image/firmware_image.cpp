// The process-wide firmware image.
#include "firmware_image.h"

FirmwareImage g_firmwareImage;
