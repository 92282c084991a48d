#include "app/status_line.h"

#include <QFileInfo>

#include "synth/voices.h"

namespace thumpa {

namespace {

// The voice's full name, as its editor's title gives it after "Edit ".
QString voice_name(VoiceId voice) {
  const QString title = QString::fromUtf8(voice_facts(voice).editor_title);
  const QString prefix = QStringLiteral("Edit ");
  return title.startsWith(prefix) ? title.mid(prefix.size()) : title;
}

QString output_text(const SoundOutputStatus& status) {
  if (status.output == nullptr) return QStringLiteral("no sound output");
  const QString title = QString::fromUtf8(status.output);
  if (status.gone) return QStringLiteral("%1: server gone, reconnecting").arg(title);
  QString text = QStringLiteral("%1, %2 frames").arg(title).arg(status.period_frames);
  if (status.sample_rate > 0) {
    const double ms = 1000.0 * status.latency_frames / status.sample_rate;
    text += QStringLiteral(", %1 ms").arg(ms, 0, 'f', 1);
  }
  return text;
}

}  // namespace

StatusTexts status_texts(std::optional<VoiceId> shown_voice, const SoundOutputStatus& output,
                         const QString& settings_file) {
  StatusTexts texts;
  texts.voice = shown_voice ? QStringLiteral("Shown: %1").arg(voice_name(*shown_voice))
                            : QStringLiteral("no voice shown");
  texts.output = output_text(output);
  texts.midi = QString::fromUtf8(output.midi_input);
  texts.settings = settings_file.isEmpty()
                       ? QStringLiteral("no settings file")
                       : QStringLiteral("Settings: %1").arg(QFileInfo(settings_file).fileName());
  return texts;
}

}  // namespace thumpa
