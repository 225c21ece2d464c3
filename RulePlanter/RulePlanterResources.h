// Resource ids of the rule helper, shared by its resource script and its code.
#pragma once

// The module's registration script (type "REGISTRY"): its AppID.
#define IDR_RULEPLANTER 101
