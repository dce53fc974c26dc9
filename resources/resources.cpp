// Anchor of the embedded-resource library; the blobs come from generated sources.
namespace fk::resources {
int Anchor() { return 0; }
}  // namespace fk::resources
