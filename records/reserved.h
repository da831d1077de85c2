#pragma once

// What asking for a board's number came to, from the store up to the slot. An outcome rather
// than a message alone: a station waits while the store is out of reach, and a plain run ends
// a board whose scheme has no number left.
enum class Reserved { Ok, NoScheme, Exhausted, Unreachable };
