// SPI tee: the reduced RGB565 copy of the picture published for a small SPI display.
#pragma once
