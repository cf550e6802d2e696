// The five fields of the adapter's status page, empty until a page yields them.
#include "web/web.h"

DeviceInfoRecord DeviceInfo;
