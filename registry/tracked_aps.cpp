#include "registry/tracked_aps.h"

TrackedAps::~TrackedAps() = default;
