// The document the single-document model requires; it holds no data, so
// it opens and saves as the framework's document does.
#pragma once

#include "document.h"

class COmbrelDoc : public CDocument {};
