// The support library: trace, mutex, growable buffer, base64.
#ifndef VEK4CMS_H
#define VEK4CMS_H

#include "vekbuffer.h"
#include "vekkryutility.h"
#include "vekmutex.h"
#include "vektrace.h"

#endif // VEK4CMS_H
