#pragma once

// What asking for a board's number came to, from the store up to the slot.
enum class Reserved { Ok, NoScheme, Exhausted, Unreachable };
