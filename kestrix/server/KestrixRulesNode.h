#pragma once
// The node under which kestrixd publishes its translation rules: a
// subscriber of it hears of every reload.
inline constexpr char KESTRIXD_RULES_NODE_ID[] = "kestrixd:rules";
