namespace tarn {
void TarnRegisterTools() {}
}  // namespace tarn
