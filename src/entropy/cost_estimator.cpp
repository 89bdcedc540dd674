// CostEstimator is defined inline in its header; this unit keeps the header self-contained.
#include "entropy/cost_estimator.h"
