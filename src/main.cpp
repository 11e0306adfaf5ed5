#include "core/logging_run.h"

int main(int argc, char** argv) {
    return runLogger(argc, argv);
}
