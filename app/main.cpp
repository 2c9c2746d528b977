#include "app/service.h"

int main(int argc, char** argv) {
    return sa_main(argc, argv);
}
