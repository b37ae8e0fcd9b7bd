#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dialog/DataDirs.h"
#include "dialog/DialogView.h"
#include "engine/GenTarget.h"

class CCore;
class CGenerateThread;

// The dialog without its toolkit: the checks of the fields and their order, the states of a run
// with their texts, starting, stopping and ending a run, the remembered settings and the close.
// A front end shows it through a CDialogView and forwards its buttons and timer here.
class CGeneratorLogic {
public:
    enum class EState { Idle, Running, Stopping };

    CGeneratorLogic(CDialogView& view, tagDataDirs dirs);
    // Waits for a worker that still runs.
    ~CGeneratorLogic();
    CGeneratorLogic(const CGeneratorLogic&) = delete;
    CGeneratorLogic& operator=(const CGeneratorLogic&) = delete;

    // The dialog is created: the remembered settings go into the fields.
    void OnInitDialog();
    // The Start button, which is the Stop button during a run.
    void OnStart();
    void OnOutput();
    void OnAbout();
    void OnProgressTimer();
    // The dialog closes: a run is asked to stop and the settings are saved at once; the worker,
    // which uses nothing of the dialog's, is waited for by Shutdown.
    void OnDestroy();
    // Waits for the worker. A front end calls it before its view goes.
    void Shutdown();

    // Reads the fields into the run settings, without the line ends a paste leaves at the ends
    // of the site path and the prefix; with bValidate, refuses what cannot start a run (a list
    // file that cannot be read too), says why and puts the focus in the field to fix. 1 when a
    // run may start.
    int ReadInputs(bool bValidate);

    EState state() const { return m_eState; }

private:
    class CTarget : public CGenTarget {
    public:
        explicit CTarget(CGeneratorLogic& logic) : m_logic(logic) {}

    protected:
        void onDone(tagGenResult result) override;

    private:
        CGeneratorLogic& m_logic;
    };

    void OnGenDone(tagGenResult result);
    void SetStatus(const std::string& strText);
    void enterState(EState eState);
    void openOutput();

    CDialogView& m_view;
    tagDataDirs m_dirs;
    std::unique_ptr<CCore> m_pCore;
    EState m_eState = EState::Idle;
    bool m_bDestroyed = false;
    // Each run gets a target of its own, so that a late end of an earlier run cannot be taken
    // for the end of the next.
    std::unique_ptr<CTarget> m_pTarget;
    std::unique_ptr<CGenerateThread> m_pThread;
    tagPoster m_fnPost;        // taken from the view before the worker starts
    std::string m_strListFile; // the list file the next run reads; empty: the list is the text
};
