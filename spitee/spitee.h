// SPI tee: the reduced RGB565 copy of the picture published for a small SPI display.
#pragma once

// Whether frames must go through the GPU pass for the SPI copy.
bool spi_tee_wanted();
