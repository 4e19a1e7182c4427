// The real DFT that the upmix kernel runs on the audio thread, handed to it
// as a table of plain functions over the platform FFT (RealFFTPlan): setups
// are made and destroyed with mn_upmix_create/destroy, off the real-time
// path; forward and inverse execute without allocating or locking.
#pragma once

#include "rt/mn_upmix.h"

namespace qm::UpmixFFT {

// The process-wide table; never null.
const mn_fft_ops* ops();

}  // namespace qm::UpmixFFT
