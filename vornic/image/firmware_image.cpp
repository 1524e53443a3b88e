// The process-wide firmware image.
#include "vornic/image/firmware_image.h"

namespace vornic_image {

FirmwareImage g_firmwareImage;

}  // namespace vornic_image
