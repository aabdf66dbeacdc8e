// The process-wide scanner over the malware catalogue, shared by the one-shot model-integrity
// check and the SafeTensors tensor-data scan.
#pragma once

#include "pattern_matching.hpp"

namespace vesquor {

// Builds MALWARE_SCANNER on first use (concurrent first callers wait for the one that builds it)
// and returns it; read-only afterwards, so any number of threads scan with it at once. A build
// failure, impossible with the fixed catalogue, throws std::runtime_error, which the binding
// raises as PanicException; a later call tries again.
const PatternScanner& malware_scanner();

}  // namespace vesquor
