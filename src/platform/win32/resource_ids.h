// Identifiers of the program's resources, shared by the resource script and the code.
#pragma once

#define VARNHOLT_ICON 1  // the first icon: the one the shell shows for the program
