// Stands in for a subsystem that has no code yet, so every archive exists.
namespace ZEB {
namespace {
[[maybe_unused]] const int kEmptySubsystem = 0;
}  // namespace
}  // namespace ZEB
