// The publisher's key, from the build's VANTORIQUE_PUBLIC_KEY.
#include "signature.h"

std::string publicKey = VANTORIQUE_PUBLIC_KEY;
