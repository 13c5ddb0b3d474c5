#pragma once
// The node under which kestrixd publishes its translation rules: a
// subscriber of it hears of every reload, as a "NodeEvent" of type
// "Modified" whose details give "RulesFile" (the path given with -c),
// "Groups", "HostTranslations" and "OsTypeTranslations" (the numbers of
// rules now in use).
inline constexpr char KESTRIXD_RULES_NODE_ID[] = "kestrixd:rules";
