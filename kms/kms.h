// Display output: the output table, mode choice, modeset and frame import.
#pragma once
