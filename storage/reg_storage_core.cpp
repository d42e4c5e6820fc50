// Storage engine: placeholder until the engine is written.
#include "storage/reg_storage.h"
