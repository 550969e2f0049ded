#include "GameEngine.h"

UEngine* GEngine = nullptr;
