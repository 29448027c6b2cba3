/* An example Tamrix physics plug-in for a robot: a two-link arm whose elbow
   it holds at a set angle, to copy and start from.

   The world (world.toml) joins "upper" to the world at the shoulder and
   "forearm" to "upper" at the elbow, both hinges. The plug-in finds the
   elbow through the forearm's joints at init, and at every step drives the
   elbow's motor at a speed proportional to how far the elbow is from its
   angle, so the motor brings it there and holds it against gravity. The
   host's own contacts do the rest (collide answers 0).

   The handles the host gives are the engine's own (a body handle is a
   dBodyID), so this file includes the engine's header and is linked with it
   (tamrix_add_physics_plugin(... ENGINE ...)). */
#include <ode/ode.h>

#include "tamrix_physics.h"

/* Where the elbow is held, rad from where it starts, and how hard. */
static const dReal elbow_target = 0.8;
static const dReal speed_per_radian = 5.0; /* rad/s of motor speed per rad off */
static const dReal fastest = 2.0;          /* rad/s */
static const dReal strongest = 50.0;       /* N·m */

/* Found at init and forgotten at cleanup: a host that reloads its world
   hands out new handles. */
static dJointID elbow;
/* The host's own motor settings, put back at cleanup: the joint is the
   host's, and the world must go on as the host made it. */
static dReal hosts_speed;
static dReal hosts_force;

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

/* The hinge that joins the two bodies, or NULL. */
static dJointID hinge_between(dBodyID first, dBodyID second) {
  int i;
  if (first == NULL || second == NULL) {
    return NULL;
  }
  for (i = 0; i < dBodyGetNumJoints(first); ++i) {
    dJointID joint = dBodyGetJoint(first, i);
    if (dJointGetType(joint) == dJointTypeHinge &&
        (dJointGetBody(joint, 0) == second || dJointGetBody(joint, 1) == second)) {
      return joint;
    }
  }
  return NULL;
}

void tamrix_physics_init(void) {
  elbow = hinge_between((dBodyID)(void *)getBody("forearm"), (dBodyID)(void *)getBody("upper"));
  if (elbow != NULL) {
    hosts_speed = dJointGetHingeParam(elbow, dParamVel);
    hosts_force = dJointGetHingeParam(elbow, dParamFMax);
  }
}

void tamrix_physics_step(void) {
  dReal speed;
  if (elbow == NULL) {
    return;
  }
  speed = speed_per_radian * (elbow_target - dJointGetHingeAngle(elbow));
  speed = speed > fastest ? fastest : speed < -fastest ? -fastest : speed;
  dJointSetHingeParam(elbow, dParamVel, speed);
  dJointSetHingeParam(elbow, dParamFMax, strongest);
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0; /* the host's contacts */
}

void tamrix_physics_cleanup(void) {
  if (elbow != NULL) {
    dJointSetHingeParam(elbow, dParamVel, hosts_speed);
    dJointSetHingeParam(elbow, dParamFMax, hosts_force);
  }
  elbow = NULL;
}
