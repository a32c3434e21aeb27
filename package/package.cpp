#include "package/operator_view.h"
