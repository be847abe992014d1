// The speckmend executable: everything happens in the run flow.
#include "app/run.h"

int main(int argc, char** argv) { return speckmend::run(argc, argv); }
