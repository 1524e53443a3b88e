// The process-wide firmware image.
#include "vornic/image/firmware_image.h"

FirmwareImage g_firmwareImage;
