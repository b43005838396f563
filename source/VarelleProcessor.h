#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_audio_basics/juce_audio_basics.h>

#include "ChordDetector.h"
#include "ChordTracker.h"
#include "HarmonyEngine.h"
#include "MidiNoteOutput.h"
#include "NotePanner.h"
#include "NoteSeparator.h"
#include "OutputStage.h"
#include "STFTEngine.h"
#include "VarelleParameters.h"
#include "ZoneFX.h"
#include "ZoneParams.h"

#include <array>
#include <functional>
#include <atomic>
#include <vector>

/** The ORVEX audio processor: owns all analysis and processing and runs the block pipeline.

    Threads: the host's audio thread runs processBlock / processBlockBypassed (and the deferred
    re-preparation after a latency-mode change); the message thread runs construction, state,
    presets and the editor. Every setting the message thread may write while audio runs is an
    atomic read once per block; nothing on the audio thread locks or allocates. */
class VarelleProcessor : public juce::AudioProcessor,
                         private juce::AsyncUpdater
{
public:
    static constexpr int kNumKeys = 88;               // channels 0 .. 87: MIDI notes 21 .. 108
    static constexpr int kNumRoutedChannels = 89;     // keys plus the separator's silent channel 88
    static constexpr int kNumChannels = varelle::STFTEngine::kNumChannels;
    static constexpr int kNeuralLookaheadHops = 5;
    static constexpr int kMaxFFTOrder = 12;

    VarelleProcessor();
    ~VarelleProcessor() override;

    //==============================================================================
    const juce::String getName() const override { return "Varelle"; }
    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    void processBlockBypassed (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;
    using juce::AudioProcessor::processBlockBypassed;

    double getTailLengthSeconds() const override { return 0.0; }
    bool acceptsMidi() const override { return false; }
    bool producesMidi() const override { return true; }
    bool isMidiEffect() const override { return false; }

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override { return true; }

    int getNumPrograms() override { return 1; }
    int getCurrentProgram() override { return 0; }
    void setCurrentProgram (int) override {}
    const juce::String getProgramName (int) override { return {}; }
    void changeProgramName (int, const juce::String&) override {}

    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    //==============================================================================
    static juce::AudioProcessorValueTreeState::ParameterLayout createParameterLayout();

    /** The one way code writes a parameter: plain value, normalised with the parameter's own
        range (which also limits it), set, then host and listeners notified. Unknown IDs are
        ignored. */
    void setParameterPlain (const juce::String& parameterID, float plainValue);

    /** Sets the musical key everywhere it is consumed. root: pitch class 0 .. 11 or -1 for
        none; quality: 0 major, 1 minor. */
    void setKey (int root, int quality);

    /** Imports the flat "VarelleState" document of earlier versions. */
    void loadLegacyState (const juce::XmlElement& xml);

    /** False for bytes that must not reach the framework's XML reader, which is safe only on
        well-formed text: no "VC2!" wrapper with a positive length, UTF-8 that is invalid or not
        in its shortest form, a malformed character reference, a document type, a processing
        instruction after the XML declaration, or more markup than a state block holds. Each
        of these makes the reader crash, overflow its stack or loop for ever. */
    static bool isReadableStateBlock (const void* data, int sizeInBytes);

    //==============================================================================
    // Presets: one state block per file in the user's "VANTORIX/ORVEX/Presets" folder.
    // Message thread only.

    /** The presets folder (created on demand). */
    juce::File getPresetsDirectory() const;

    /** Names of the preset files in the folder, case-insensitively sorted. */
    juce::StringArray getPresetList() const;

    /** Saves the current state under a name (used unchanged; see presetNameFromUserInput). */
    void savePreset (const juce::String& name);

    /** Loads a preset by name, keeping the automatic-key setting and a fixed key. */
    void loadPreset (const juce::String& name);

    /** The same loading steps for a preset file anywhere (the renderer's --preset FILE). */
    void loadPresetFile (const juce::File& file, const juce::String& name);

    /** Every parameter but "auto_key" and the non-parameter settings back to their defaults. */
    void resetToDefaults();

    /** Writes the factory presets when the folder holds no preset file. */
    void installFactoryPresets();

    /** A name typed by the user, trimmed; empty when it cannot be saved (empty or "Default"). */
    static juce::String presetNameFromUserInput (const juce::String& typed);

    juce::String getCurrentPresetName() const;

    /** Reported latency: one frame, plus five hops when the neural engine may run. */
    static int latencyFor (int fftSize, int detectionEngineChoice, bool modelLoaded) noexcept;

    /** FFT order of a latency mode: 1 "LIVE" 1024, 2 "MELODY" 512, anything else "STUDIO" 4096. */
    static int fftOrderForLatencyMode (int mode) noexcept;

    /** The zone (0 .. 2) that takes key channel c when zone effects run: the first whose
        inclusive note range holds MIDI note c + 21; -1 for the main output. */
    static int zoneForChannel (int channel, const int* lowNotes, const int* highNotes) noexcept;

    int getFFTSize() const noexcept { return stftEngine.getFFTSize(); }
    bool isModelLoaded() const noexcept { return modelLoaded; }

    /** A model is loaded and can run at the current frame size. */
    bool isNeuralUsable() const noexcept;
    int getEffectiveEngine() const noexcept { return noteSeparator.engineSelect.load(); }

    //==============================================================================
    juce::AudioProcessorValueTreeState valueTreeState;

    // Settings written by the editor or the state restore, read by the audio thread.
    std::atomic<int> latencyMode { 0 };
    std::atomic<bool> latencyChangePending { false };
    std::atomic<int> melodySelection { 0 };
    std::atomic<int> melodyNote { -1 };
    std::array<std::atomic<bool>, kNumRoutedChannels> noteMuted {};
    std::array<std::atomic<bool>, kNumRoutedChannels> noteSoloed {};
    std::atomic<bool> panSide { true };
    std::atomic<float> uiScale { 1.0f };
    std::atomic<bool> autoKeyEnabled { true };
    std::atomic<bool> zoneFxEnabled { false };
    std::array<std::atomic<bool>, varelle::params::kNumZones> zoneSoloed {};
    std::array<varelle::ZoneParams, varelle::params::kNumZones> zones;
    std::atomic<float> hostBpm { 120.0f };

    // Per-frame analysis and key masks; holds the current frame's notes, the detection engine
    // in effect and the tracker's key.
    varelle::NoteSeparator noteSeparator;

    // Names the held chord for the note-aware features; its key pair is the current key that
    // the editor displays and the state saves.
    varelle::ChordDetector chordDetector;

    /** Offline tools (reports) may watch every analysis frame: called on the audio thread
        after each frame's analysis with the index (since the last reset) of the frame its notes
        describe, describedFrameIndex(). Leave empty in
        real-time use. */
    std::function<void (const varelle::SeparationFrame&, int frameIndex, int engine)> analysisObserver;

    /** The index of the frame the latest notes describe: the newest frame, less the separator's
        look-ahead. Frame f starts at input sample f x hop. */
    int describedFrameIndex() const noexcept { return stftEngine.getFrameCount() - noteSeparator.getLookaheadFrames(); }

    /** Offline tools may also watch every block's chord and key (after the trackers ran). */
    std::function<void (const varelle::ChordResult& chord, int keyRoot, int keyQuality)> blockObserver;

    // Note-aware stereo image, zone effects and the output stage.
    varelle::NotePanner notePanner;
    varelle::OutputStage outputStage;
    std::array<varelle::ZoneFXProcessor, varelle::params::kNumZones> zoneFx;
    juce::Reverb reverb;

    // Musical context: the held chord and the automatically detected key.
    varelle::ChordTracker chordTracker;
    varelle::KeyTracker keyTracker;
    const varelle::ChordResult& getCurrentChord() const noexcept { return chordTracker.currentChord; }

    /** Offline tools (stems): set before preparation to keep, every block, the LOW, MID and
        HIGH zone buses as they are mixed in (after their effect chains, before the output
        stage) and the rest of the main output. Without the zone stage the keys still split by
        the zone ranges. */
    static constexpr int kNumStems = 4;
    bool captureStems = false;
    std::array<juce::AudioBuffer<float>, kNumStems> stems;

    // Harmony voices (added to the wet signal before the output stage) and MIDI note output.
    varelle::HarmonyEngine harmony;
    varelle::MidiNoteOutput midiOutput;

    // Per-block copies of the pan and stereo parameters.
    struct ParameterSnapshot
    {
        std::atomic<bool> panEnabled { true };
        std::atomic<int> panMode { 1 };
        std::atomic<float> panHardness { 0.0f }, panGlide { 0.7f }, panSpread { 1.0f };
        std::atomic<int> panLowNote { 52 }, panCenterNote { 62 }, panHighNote { 76 };
        std::atomic<int> stereoMode { 1 };
        std::atomic<float> stereoWidth { 1.0f }, outputWidth { 0.0f }, masterPan { 0.5f };
        std::atomic<bool> flipLR { false };
        std::atomic<float> outputGainDb { 0.0f }, wetDryMix { 1.0f }, reverbMix { 0.3f }, reverbSize { 0.5f };
        std::atomic<int> midiOffset { 0 };
    };
    ParameterSnapshot snapshot;

    int appliedDetectionPreset = 0;

    juce::MemoryBlock abSlots[2];
    int abActiveSlot = 0;

    /** The name of the preset last saved or loaded; empty after a reset. The editor's timer may
        read it while the message thread replaces it, so the string is only copied or swapped
        whole under a spin lock (copying a juce::String under it does not allocate). The audio
        thread never touches it. */
    struct PresetName
    {
        juce::String get() const
        {
            const juce::SpinLock::ScopedLockType lock (mutex);
            return name;
        }

        void set (juce::String newName)
        {
            {
                const juce::SpinLock::ScopedLockType lock (mutex);
                name.swapWith (newName);
            }
            // newName now holds the old string and releases it here, outside the lock.
        }

    private:
        juce::String name;
        mutable juce::SpinLock mutex;
    };
    PresetName currentPresetName;

    double getPreparedSampleRate() const noexcept { return preparedSampleRate; }
    int getPreparedBlockSize() const noexcept { return preparedBlockSize; }

private:
    struct ParameterHandles
    {
        std::atomic<float>* panEnabled = nullptr;
        std::atomic<float>* panMode = nullptr;
        std::atomic<float>* panHardness = nullptr;
        std::atomic<float>* panGlide = nullptr;
        std::atomic<float>* panSpread = nullptr;
        std::atomic<float>* panLowNote = nullptr;
        std::atomic<float>* panCenterNote = nullptr;
        std::atomic<float>* panHighNote = nullptr;
        std::atomic<float>* stereoMode = nullptr;
        std::atomic<float>* stereoWidth = nullptr;
        std::atomic<float>* outputWidth = nullptr;
        std::atomic<float>* masterPan = nullptr;
        std::atomic<float>* flipLR = nullptr;
        std::atomic<float>* outputGainDb = nullptr;
        std::atomic<float>* wetDryMix = nullptr;
        std::atomic<float>* reverbMix = nullptr;
        std::atomic<float>* reverbSize = nullptr;
        std::atomic<float>* zoneFxEnabled = nullptr;
        std::atomic<float>* midiOffset = nullptr;
        std::atomic<float>* autoKey = nullptr;
        std::atomic<float>* zone[varelle::params::kNumZones][varelle::params::kNumZoneParams] {};
    };

    enum class Routing { mono, midSide, dual };

    void handleAsyncUpdate() override;
    void processPiece (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi, int numInputChannels);
    void renderHarmony (int numSamples) noexcept;
    void mixHarmony (juce::AudioBuffer<float>& buffer, int numSamples) noexcept;
    void updateDetectionEngine();
    void applyDetectionPreset();
    void takeParameterSnapshot();
    void handleTransport (int numSamples);
    void resetAnalysisHistory();
    void runAnalysis (juce::AudioBuffer<float>& buffer, Routing routing, int numSamples);
    void sumChannels (juce::AudioBuffer<float>& buffer, Routing routing, bool zoneStageRuns, bool panning, int numSamples);
    void addChannel (float* left, float* right, int channel, Routing routing, bool pan, float glide, int numSamples) noexcept;
    void runZoneStage (juce::AudioBuffer<float>& buffer, int numSamples);
    void trackChordAndKey (int numSamples);
    void chooseMelodyNote();
    void writeBypassLines (const juce::AudioBuffer<float>& buffer, int numInputChannels, int numSamples) noexcept;
    void installFrameCallbacks();
    void reportLatency (bool notifyHost);
    int currentLatency() const noexcept;

    ParameterHandles handles;
    juce::RangedAudioParameter* detectionEngineParam = nullptr;
    juce::RangedAudioParameter* detectionPresetParam = nullptr;

    varelle::STFTEngine stftEngine { kMaxFFTOrder };
    double preparedSampleRate = 44100.0;
    int preparedBlockSize = 512;
    bool isPrepared = false;
    bool modelLoaded = false;
    bool preparingOnAudioThread = false;
    bool capturingStems = false;

    // Per-channel output of the STFT engine for the current block.
    std::vector<float> channelStorage;   // 2 x 101 x block size
    std::array<float*, kNumChannels> channelOutputsLeft {};
    std::array<float*, kNumChannels> channelOutputsRight {};

    std::vector<float> midScratch, sideScratch;
    std::vector<float> harmonyLeft, harmonyRight, harmonyMid;

    std::array<juce::AudioBuffer<float>, varelle::params::kNumZones> zoneBuffers;
    juce::AudioBuffer<float> reverbSendBuffer;

    // Latency-aligned bypass: the input is written at every block, processed or bypassed,
    // so switching bypass on mid-stream continues without a gap.
    std::vector<float> bypassLines[2];
    int bypassWritePos = 0;

    int pieceOffset = 0;   // start of the current piece within the host's block
    float panGlide = 0.0f; // the block's per-sample pan glide coefficient
    float inputLevel = 0.0f;
    bool wasPlaying = false;
    juce::int64 lastTimeInSamples = -1;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VarelleProcessor)
};
