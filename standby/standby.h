// Standby screen: the still picture every output shows while no video is shown.
// Nothing is offered yet: until the painter exists, the standby buffer kms/ makes
// for each output when it is lit stays black.
#pragma once

struct KmsOutput;
// Paints the output's standby buffer for its current flip and fit again and records
// them in its standby_tag.
void repaint_standby(KmsOutput &o);
