#include "spitee/spitee.h"

// The SPI copy is read back from the GPU pass; until it exists no frame needs it.
bool spi_tee_wanted() {
    return false;
}
