// The speckmend executable: everything happens in the run flow.
#include "app/run.h"
#include "platform/standard_streams.h"

int main(int argc, char** argv) {
    speckmend::prepareStandardStreams();
    return speckmend::run(argc, argv);
}
