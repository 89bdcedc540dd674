#include "frontend/program.h"

int main(int argc, char** argv) {
    return elq::runProgram(argc, argv);
}
