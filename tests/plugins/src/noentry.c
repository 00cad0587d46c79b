/* Test plug-in without the required entry point. */
#include "plugins/PluginInterface.h"

void onExit(void) {}
