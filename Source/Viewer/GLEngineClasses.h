// Every class of the engine that a stored scene may name, made known to the class registry.
#pragma once

#include <exception>
#include <functional>

// Registers unit by unit, lower layers first. A unit that fails is handed to OnError and the
// others still register; without OnError the failure is raised.
void RegisterEngineClasses(const std::function<void(const std::exception&)>& OnError = nullptr);
