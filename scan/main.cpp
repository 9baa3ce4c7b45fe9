#include "scan/scan.h"

int main(int argc, char** argv) {
    return OndavipciMain(argc, argv);
}
