// The production run. Placeholder until the run's stages are in place: a
// worker that is started ends at once.
#include "production/product_thread.h"

namespace production {

void ProductThread::Execute() {}

}  // namespace production
