#include "fleet/fleet.h"

int main(int argc, char** argv) {
    return FleetMain(argc, argv);
}
