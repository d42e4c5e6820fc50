// SHA-256: placeholder until the module is written.
#include "crypto/sha256.h"
