/*
 * The OBS Studio module obs-tnr-md: an asynchronous video filter
 * ("tnr_md_filter") for sources that hand libobs frames in memory (webcams,
 * capture cards, media sources). The frame path is tnr_obs_filter.cpp; this
 * file is libobs's glue: registration, settings, properties, and the events
 * that start a new sequence.
 */
#include <obs-module.h>
#include <util/dstr.h>

#include "tnr_md_stream.h"
#include "tnr_obs_filter.h"

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("obs-tnr-md", "en-US")

#define S_STRENGTH "strength"
#define S_SPATIAL "spatial"
#define S_THREADS "threads"
#define S_ALIGN "align"
#define STRENGTH_OFF "off"

struct tnr_filter {
  obs_source_t *context;
  TnrObsFilter *core;
};

static const char *tnr_filter_name(void *unused) {
  UNUSED_PARAMETER(unused);
  return obs_module_text("FilterName");
}

static int strength_from_name(const char *name) {
  int preset = TNR_MD_PRESET_MEDIUM;
  if (name && strcmp(name, STRENGTH_OFF) == 0) return TNR_OBS_STRENGTH_OFF;
  if (tnrMdPresetByName(name, &preset, NULL) != TNR_MD_OK) return TNR_MD_PRESET_MEDIUM;
  return preset;
}

static void settings_from_data(obs_data_t *data, TnrObsSettings *s) {
  s->strength = strength_from_name(obs_data_get_string(data, S_STRENGTH));
  s->spatial = (float)obs_data_get_double(data, S_SPATIAL);
  s->threads = (int)obs_data_get_int(data, S_THREADS);
  s->align = obs_data_get_bool(data, S_ALIGN) ? 1 : 0;
}

static void log_notice(void *context, const char *message) {
  struct tnr_filter *f = context;
  blog(LOG_INFO, "[tnr_md: '%s'] %s", obs_source_get_name(f->context), message);
}

/* The filter was switched on again after frames went by unseen. */
static void on_enable(void *data, calldata_t *cd) {
  struct tnr_filter *f = data;
  if (calldata_bool(cd, "enabled")) tnrObsFilterRestart(f->core);
}

static void tnr_filter_update(void *data, obs_data_t *settings) {
  struct tnr_filter *f = data;
  TnrObsSettings s;
  settings_from_data(settings, &s);
  tnrObsFilterSetSettings(f->core, &s);
}

static void *tnr_filter_create(obs_data_t *settings, obs_source_t *context) {
  struct tnr_filter *f = bzalloc(sizeof(*f));
  TnrObsSettings s;

  f->context = context;
  settings_from_data(settings, &s);
  f->core = tnrObsFilterCreate(&s, log_notice, f);
  if (!f->core) {
    bfree(f);
    return NULL;
  }
  signal_handler_connect(obs_source_get_signal_handler(context), "enable", on_enable, f);
  return f;
}

static void tnr_filter_destroy(void *data) {
  struct tnr_filter *f = data;

  signal_handler_disconnect(obs_source_get_signal_handler(f->context), "enable", on_enable, f);
  tnrObsFilterDestroy(f->core);
  bfree(f);
}

static void tnr_filter_defaults(obs_data_t *settings) {
  TnrObsSettings s;

  tnrObsSettingsDefault(&s);
  obs_data_set_default_string(settings, S_STRENGTH, tnrMdPresetName(s.strength));
  obs_data_set_default_double(settings, S_SPATIAL, s.spatial);
  obs_data_set_default_int(settings, S_THREADS, s.threads);
  obs_data_set_default_bool(settings, S_ALIGN, s.align != 0);
}

static obs_properties_t *tnr_filter_properties(void *data) {
  obs_properties_t *props = obs_properties_create();
  obs_property_t *p;

  UNUSED_PARAMETER(data);
  p = obs_properties_add_list(props, S_STRENGTH, obs_module_text("Strength"), OBS_COMBO_TYPE_LIST,
                              OBS_COMBO_FORMAT_STRING);
  obs_property_list_add_string(p, obs_module_text("Strength.off"), STRENGTH_OFF);
  for (int i = 0; i < TNR_MD_PRESET_COUNT; i++) {
    const char *name = tnrMdPresetName(i);
    struct dstr key = {0};
    const char *label = name;

    dstr_printf(&key, "Strength.%s", name);
    obs_module_get_string(key.array, &label);
    obs_property_list_add_string(p, label, name);
    dstr_free(&key);
  }
  obs_property_set_long_description(p, obs_module_text("Strength.Description"));

  p = obs_properties_add_float_slider(props, S_SPATIAL, obs_module_text("Spatial"), 0.0,
                                      TNR_MD_SPATIAL_MAX, 0.1);
  obs_property_set_long_description(p, obs_module_text("Spatial.Description"));

  p = obs_properties_add_bool(props, S_ALIGN, obs_module_text("Align"));
  obs_property_set_long_description(p, obs_module_text("Align.Description"));

  p = obs_properties_add_int(props, S_THREADS, obs_module_text("Threads"), 0, 64, 1);
  obs_property_set_long_description(p, obs_module_text("Threads.Description"));
  return props;
}

static struct obs_source_frame *tnr_filter_video(void *data, struct obs_source_frame *frame) {
  struct tnr_filter *f = data;
  return tnrObsFilterVideo(f->core, frame);
}

/* Frames stop reaching the filter while its source is hidden everywhere
 * (libobs runs asynchronous filters when it draws the source), and it may be
 * added to a source again after removal: each starts a new sequence. */
static void tnr_filter_restart(void *data) {
  struct tnr_filter *f = data;
  tnrObsFilterRestart(f->core);
}

static void tnr_filter_remove(void *data, obs_source_t *parent) {
  UNUSED_PARAMETER(parent);
  tnr_filter_restart(data);
}

static struct obs_source_info tnr_filter_info = {
    .id = "tnr_md_filter",
    .type = OBS_SOURCE_TYPE_FILTER,
    .output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_ASYNC,
    .get_name = tnr_filter_name,
    .create = tnr_filter_create,
    .destroy = tnr_filter_destroy,
    .update = tnr_filter_update,
    .get_defaults = tnr_filter_defaults,
    .get_properties = tnr_filter_properties,
    .filter_video = tnr_filter_video,
    .show = tnr_filter_restart,
    .hide = tnr_filter_restart,
    .filter_remove = tnr_filter_remove,
};

const char *obs_module_name(void) { return "tnr_md"; }

const char *obs_module_description(void) { return obs_module_text("Description"); }

bool obs_module_load(void) {
  obs_register_source(&tnr_filter_info);
  blog(LOG_INFO, "[tnr_md] filter loaded (library %s)", tnrMdVersionString());
  return true;
}
