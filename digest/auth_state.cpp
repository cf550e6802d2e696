// The one authentication record of the process, all zero until a challenge arrives.
#include "digest/digest.h"

AuthStateRecord AuthState;
