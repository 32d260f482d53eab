// Standby screen: the still picture every output shows while no video is shown.
#pragma once
