// The resources of the POSIX build: the firmware image that the build embedded.
#include "port/resources.h"
#include "resources/firmware_resource.h"

extern "C" const unsigned char zem_firmware_begin[];
extern "C" const std::uint32_t zem_firmware_size;

const PortResource kPortResources[] = {
    {kFirmwareResourceType, kFirmwareResourceId, zem_firmware_begin, zem_firmware_size},
};
const std::size_t kPortResourceCount = sizeof kPortResources / sizeof kPortResources[0];
