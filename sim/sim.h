// The virtual board: stands in for the display card and the hardware decoder so the
// receiver runs, end to end, on a machine that has neither.
#pragma once
