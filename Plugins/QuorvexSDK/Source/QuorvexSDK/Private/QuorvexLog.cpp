#include "QuorvexLog.h"

FLogCategory LogQuorvex("LogQuorvex", ELogVerbosity::Log);
