// The snapshot includes no Qt.
#include <QString>
