// SPI tee: the reduced RGB565 copy of the picture published for a small SPI display.
// The presentation loop asks whether frames must take the GPU pass for it; the
// copy itself is read back from that pass once it exists.
#pragma once

// Whether frames must go through the GPU pass for the SPI copy.
bool spi_tee_wanted();
